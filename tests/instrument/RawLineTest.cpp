// The uSonic-3 raw data line: nine space-separated texts from the instrument's comma-separated
// line, out-of-range and missing values as -99., the record's array reused or replaced.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/TestRoot.h"
#include "instrument/SonicMetek3ClassAMPSerial.h"

namespace {

class RawLineTest : public testing::Test {
protected:
    void SetUp() override {
        log = std::make_unique<EventLog>("Raw Line Test EventLog", root.Drive("C:\\Data\\RawLine").c_str());
        sonic = std::make_unique<SonicMetek3ClassAMPSerial>("Metek", "666", *log);
        sonic->CurrentBuffer = 1;
    }
    // Sets record i of buffer 1 from a text allocated as the reading loop does.
    SampleRecord &Set(DWORD i, const std::string &text, SHORT status = SampleGood) {
        SampleRecord &record = sonic->Buffers[1].Records[i];
        delete[] record.Text;
        record.Text = new char[text.size() + 1];
        memcpy(record.Text, text.c_str(), text.size() + 1);
        record.Length = static_cast<LONG>(text.size());
        record.Status = status;
        if (sonic->Buffers[1].SampleCount <= i)
            sonic->Buffers[1].SampleCount = i + 1;
        return record;
    }
    std::string Rewrite(const std::string &text) {
        SampleRecord &record = Set(0, text);
        sonic->ProcessRawSamples();
        return std::string(record.Text, static_cast<size_t>(record.Length));
    }

    TestRoot root;
    std::unique_ptr<EventLog> log;
    std::unique_ptr<SonicMetek3ClassAMPSerial> sonic;
};

TEST_F(RawLineTest, FullLineKeepsFieldsOneToSevenTenAndEleven) {
    EXPECT_EQ(Rewrite("S,1.5,-2.25,0.1,20.3,5,6,7,8,9,10\r\n"),
              "S 1.500 -2.250 0.100 20.300 5.000 6.000 9.000 10.000\r\n");
}

TEST_F(RawLineTest, MissingFieldsBecomeMinusNinetyNine) {
    EXPECT_EQ(Rewrite("S,1.5\r\n"), "S 1.500 -99. -99. -99. -99. -99. -99. -99.\r\n");
    EXPECT_EQ(Rewrite(",,,"), " -99. -99. -99. -99. -99. -99. -99. -99.\r\n");
}

TEST_F(RawLineTest, ValuesOutsideTheRangeBecomeMinusNinetyNine) {
    EXPECT_EQ(Rewrite("S,99.0,95.0,-99.2,94.999,-98.7,-150.0,8,9,-99,-100\r\n"),
              "S -99. -99. -99. 94.999 -98.700 -150.000 -99. -100.000\r\n");
}

// The range applies to the value as written with three decimals: one that rounds to 95.000 is
// out of range, one that rounds to -99.000 would read back as the missing value.
TEST_F(RawLineTest, ValuesRoundingOntoTheLimitsBecomeMinusNinetyNine) {
    EXPECT_EQ(Rewrite("S,94.9996,-98.9996,94.9994,-98.9994,94.99951,-98.99951,7,8,-0.0004,94.9995\r\n"),
              "S -99. -99. 94.999 -98.999 -99. -99. -0.000 94.999\r\n");
}

TEST_F(RawLineTest, NonFiniteAndHugeValuesBecomeMinusNinetyNine) {
    EXPECT_EQ(Rewrite("S,nan,inf,-inf,1e300,-1e300,-3e9,8,9,-2147483648.5,abc\r\n"),
              "S -99. -99. -99. -99. -99. -99. -2147483648.500 0.000\r\n");
}

// Whatever byte a field holds, the raw line is nine texts of printable ASCII separated by
// single blanks and ended by one CR LF; in the status text a byte that is not printable, and
// a blank, becomes '?'.
TEST_F(RawLineTest, EveryByteValueInEveryFieldGivesNinePrintableFields) {
    const std::vector<std::string> fields = {
        "ABCDEFGHI1250", "1.5", "-2.25", "0.1", "20.3", "5", "6", "7", "8", "9", "10"};
    for (size_t field = 0; field < fields.size(); ++field) {
        for (int value = 0; value < 256; ++value) {
            for (size_t at : {size_t(0), size_t(1)}) {  // the byte first in the field, or second
                std::string line;
                for (size_t f = 0; f < fields.size(); ++f) {
                    std::string text = fields[f];
                    if (f == field)
                        text.insert(at, 1, static_cast<char>(value));
                    line += (f ? "," : "") + text;
                }
                const std::string raw = Rewrite(line);
                SCOPED_TRACE("field " + std::to_string(field + 1) + " byte " + std::to_string(value) +
                             " at " + std::to_string(at));
                ASSERT_GE(raw.size(), 2u);
                EXPECT_EQ(raw.substr(raw.size() - 2), "\r\n");
                const std::string body = raw.substr(0, raw.size() - 2);
                int blanks = 0;
                for (char c : body) {
                    EXPECT_TRUE(c >= 0x20 && c <= 0x7E) << static_cast<int>(static_cast<unsigned char>(c));
                    blanks += c == ' ';
                }
                EXPECT_EQ(blanks, 8);  // nine fields
                EXPECT_EQ(body.find("  "), std::string::npos);
            }
        }
    }
    EXPECT_EQ(Rewrite("A B\rC\x7f\xff\x01,1"), "A?B?C??? 1.000 -99. -99. -99. -99. -99. -99. -99.\r\n");
    EXPECT_EQ(Rewrite("S,1\r"), "S 1.000 -99. -99. -99. -99. -99. -99. -99.\r\n");  // the line's own CR
}

// The values are written as "%.3f" writes them, digit for digit: ties of the binary value
// (multiples of 1/16) go to the even thousandth, values a hair either side of a half thousandth
// go their own way, negative zero and small negatives keep their sign, large magnitudes up to
// the 32-bit limit keep every digit.
TEST_F(RawLineTest, ValuesAreWrittenAsPrintfWritesThem) {
    std::vector<double> values;
    for (int k = -1580; k < 1520; ++k)
        values.push_back(k / 16.0);
    for (double v : {-0.0, -0.0004, -0.0005, 0.0005, 0.0015, 0.0025, 1.0005, 2.0005, 94.9995, 94.99949999,
                     -98.9995, -100.0005, 2147483647.9995, -2147483648.4995, 1e-300, -1e-300, 123456.789e3})
        values.push_back(v);
    std::mt19937_64 random(12);
    std::uniform_real_distribution<double> any(-300.0, 95.0);
    for (int i = 0; i < 20000; ++i) {
        const double v = any(random);
        values.push_back(v);
        // The neighbours of the nearest half thousandth.
        const double half = (std::floor(v * 1000.0) + 0.5) / 1000.0;
        values.push_back(std::nextafter(half, 1e9));
        values.push_back(std::nextafter(half, -1e9));
        values.push_back(half);
    }
    // No value that the line writes as -99.
    std::vector<double> kept;
    for (double v : values)
        if (std::trunc(v) != -99.0 && std::trunc(v) < 95.0)
            kept.push_back(v);
    ASSERT_GT(kept.size(), 70000u);

    const int fieldOfValue[8] = {1, 2, 3, 4, 5, 6, 9, 10};  // fields 7 and 8 are not written
    for (size_t first = 0; first < kept.size(); first += 8) {
        char fields[11][40] = {};
        char expected[8][40] = {};
        for (int f = 0; f < 11; ++f)
            snprintf(fields[f], sizeof fields[f], "0");
        for (int i = 0; i < 8; ++i) {
            const double v = kept[(first + static_cast<size_t>(i)) % kept.size()];
            snprintf(fields[fieldOfValue[i]], sizeof fields[0], "%.17g", v);
            snprintf(expected[i], sizeof expected[i], "%.3f", v);
        }
        std::string text = "S";
        for (int f = 1; f < 11; ++f)
            text += std::string(",") + fields[f];
        std::string want = "S";
        for (int i = 0; i < 8; ++i)
            want += std::string(" ") + expected[i];
        want += "\r\n";
        ASSERT_EQ(Rewrite(text + "\r\n"), want) << text;
    }
}

TEST_F(RawLineTest, LongerLineGetsANewArrayShorterOneKeepsIt) {
    SampleRecord &shortRecord = Set(0, "S,1\r\n");
    SampleRecord &longRecord = Set(1, "S,1.5,-2.25,0.1,20.3,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20\r\n");
    const char *shortText = shortRecord.Text;
    const char *longText = longRecord.Text;
    sonic->ProcessRawSamples();
    EXPECT_NE(shortRecord.Text, shortText);
    EXPECT_EQ(longRecord.Text, longText);
    EXPECT_EQ(std::string(shortRecord.Text), "S 1.000 -99. -99. -99. -99. -99. -99. -99.\r\n");
    EXPECT_EQ(shortRecord.Length, static_cast<LONG>(strlen(shortRecord.Text)));
    EXPECT_EQ(std::string(longRecord.Text), "S 1.500 -2.250 0.100 20.300 5.000 6.000 9.000 10.000\r\n");
    EXPECT_EQ(longRecord.Length, static_cast<LONG>(strlen(longRecord.Text)));
}

TEST_F(RawLineTest, OnlyGoodRecordsAreRewrittenAndAllAreCounted) {
    Set(0, "S,1\r\n", SampleBad);
    Set(1, "S,2\r\n", SampleGood);
    Set(2, "S,3\r\n", SampleBlackout);
    Set(3, "S,4\r\n", SampleEdited);
    Set(4, "S,5\r\n", SampleBlackout);
    sonic->ProcessRawSamples();
    const SampleRecord *records = sonic->Buffers[1].Records;
    EXPECT_EQ(std::string(records[0].Text), "S,1\r\n");
    EXPECT_EQ(records[0].Length, 5);
    EXPECT_EQ(std::string(records[1].Text), "S 2.000 -99. -99. -99. -99. -99. -99. -99.\r\n");
    EXPECT_EQ(std::string(records[2].Text), "S,3\r\n");
    EXPECT_EQ(std::string(records[3].Text), "S,4\r\n");
    EXPECT_EQ(sonic->BadCount, 1u);
    EXPECT_EQ(sonic->ArchivedCount, 1u);
    EXPECT_EQ(sonic->BlackoutCount, 2u);
    EXPECT_EQ(sonic->EditedCount, 1u);
}

}  // namespace
