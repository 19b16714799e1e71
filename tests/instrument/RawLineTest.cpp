// The uSonic-3 raw data line: nine space-separated texts from the instrument's comma-separated
// line, out-of-range and missing values as -99., the record's array reused or replaced.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/TestRoot.h"
#include "instrument/SonicMetek3ClassAMPSerial.h"

namespace {

class RawLineTest : public testing::Test {
protected:
    void SetUp() override {
        log = std::make_unique<EventLog>("Raw Line Test EventLog", "C:\\Data\\RawLine");
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
