// The uSonic-3 line parser: the StatusField, the numeric fields and the missing-value rule.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/TestRoot.h"
#include "instrument/SonicMetek3ClassAMPSerial.h"

namespace {

class ParserTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The engine's construction logs its start; the parser itself writes nothing.
        log_ =
            std::make_unique<EventLog>("Parser Test EventLog", root_.Drive("C:\\Data\\ParserTest").c_str());
        sonic_ = std::make_unique<SonicMetek3ClassAMPSerial>("Metek", "666", *log_);
    }

    // Parses text as the record's first length characters (all of it by default).
    void Parse(const std::string &text, bool allValues, long length = -1) {
        text_.assign(text.begin(), text.end());
        text_.push_back('\0');
        SampleRecord record;
        record.Text = text_.data();
        record.Length = length < 0 ? static_cast<LONG>(text.size()) : static_cast<LONG>(length);
        sonic_->ParseRecord(record, allValues);
        record.Text = nullptr;  // the vector owns it
    }

    TestRoot root_;
    std::unique_ptr<EventLog> log_;
    std::unique_ptr<SonicMetek3ClassAMPSerial> sonic_;
    std::vector<char> text_;
};

TEST_F(ParserTest, StatusFieldAndWindValues) {
    Parse("ABCDEFGHI1250,1.5,-2.25,0.1,20.3", false);
    EXPECT_STREQ(sonic_->StatusField, "ABCDEFGHI1250");
    EXPECT_EQ(sonic_->HeatingState, '1');
    EXPECT_EQ(sonic_->BlockDigit, 2);
    EXPECT_EQ(sonic_->BlockPercentage, 50);
    EXPECT_DOUBLE_EQ(sonic_->U, 1.5);
    EXPECT_DOUBLE_EQ(sonic_->V, -2.25);
    EXPECT_DOUBLE_EQ(sonic_->W, 0.1);
    EXPECT_DOUBLE_EQ(sonic_->T, 20.3);
}

TEST_F(ParserTest, AnEmptyFieldIsMissingAtItsOwnPosition) {
    Parse("x,,1.0,2.0", false);
    EXPECT_STREQ(sonic_->StatusField, "x");
    EXPECT_DOUBLE_EQ(sonic_->U, MissingValue);
    EXPECT_DOUBLE_EQ(sonic_->V, 1.0);
    EXPECT_DOUBLE_EQ(sonic_->W, 2.0);
    EXPECT_DOUBLE_EQ(sonic_->T, MissingValue);

    // The line that shifted the temperature into w: w stays where it belongs.
    Parse("S,,-1.1,0.05,20.5", false);
    EXPECT_DOUBLE_EQ(sonic_->U, MissingValue);
    EXPECT_DOUBLE_EQ(sonic_->V, -1.1);
    EXPECT_DOUBLE_EQ(sonic_->W, 0.05);
    EXPECT_DOUBLE_EQ(sonic_->T, 20.5);
}

TEST_F(ParserTest, EmptyFieldsInEachPosition) {
    // Fields 1 to 11 hold S, 1 ... 10; each one in turn is left empty.
    for (int empty = 1; empty <= 11; ++empty) {
        std::string line;
        for (int field = 1; field <= 11; ++field) {
            if (field > 1)
                line += ',';
            if (field != empty)
                line += field == 1 ? std::string("S") : std::to_string(field - 1);
        }
        line += "\r";
        Parse(line, true);
        SCOPED_TRACE(line);
        EXPECT_STREQ(sonic_->StatusField, empty == 1 ? "" : "S");
        const double parsed[] = {sonic_->U,  sonic_->V,  sonic_->W,  sonic_->T,
                                 sonic_->A1, sonic_->A2, sonic_->A3, sonic_->A4};
        const int fields[] = {2, 3, 4, 5, 6, 7, 10, 11};
        for (int i = 0; i < 8; ++i) {
            const double expected = fields[i] == empty ? MissingValue : fields[i] - 1;
            EXPECT_DOUBLE_EQ(parsed[i], expected) << "field " << fields[i];
        }
    }
}

TEST_F(ParserTest, LeadingCommasAreEmptyFields) {
    Parse(",,,S,4.5", false);
    EXPECT_STREQ(sonic_->StatusField, "");
    EXPECT_DOUBLE_EQ(sonic_->U, MissingValue);
    EXPECT_DOUBLE_EQ(sonic_->V, MissingValue);
    EXPECT_DOUBLE_EQ(sonic_->W, 0.0);  // "S" is no number
    EXPECT_DOUBLE_EQ(sonic_->T, 4.5);
}

TEST_F(ParserTest, LongStatusFieldIsCutToFourteen) {
    Parse("ABCDEFGHI0712345678901,1", false);
    EXPECT_STREQ(sonic_->StatusField, "ABCDEFGHI07123");
    EXPECT_EQ(sonic_->HeatingState, '0');
    EXPECT_EQ(sonic_->BlockDigit, 7);
    EXPECT_EQ(sonic_->BlockPercentage, 123);
}

TEST_F(ParserTest, ShortStatusFieldsGiveNoStatusResults) {
    Parse("ABCDEFGHI,1", false);  // nine characters: no heating state
    EXPECT_EQ(sonic_->HeatingState, 0);
    EXPECT_EQ(sonic_->BlockDigit, 0);
    EXPECT_EQ(sonic_->BlockPercentage, 0);

    Parse("ABCDEFGHI2,1", false);  // ten: heating state only
    EXPECT_EQ(sonic_->HeatingState, '2');
    EXPECT_EQ(sonic_->BlockDigit, 0);

    Parse("ABCDEFGHI2x,1", false);  // a non-digit block digit is 0
    EXPECT_EQ(sonic_->BlockDigit, 0);
    EXPECT_EQ(sonic_->BlockPercentage, 0);

    Parse("ABCDEFGHI20 -5,1", false);  // strtol: leading space and sign accepted
    EXPECT_EQ(sonic_->BlockDigit, 0);
    EXPECT_EQ(sonic_->BlockPercentage, -5);

    Parse("ABCDEFGHI29ab,1", false);  // no digits
    EXPECT_EQ(sonic_->BlockDigit, 9);
    EXPECT_EQ(sonic_->BlockPercentage, 0);
}

TEST_F(ParserTest, NumericFieldRules) {
    Parse("S,abc, 3.5xyz,1e2,-7.25\r", false);
    EXPECT_DOUBLE_EQ(sonic_->U, 0.0);  // letters are a present 0.0
    EXPECT_FALSE(IsMissingValue(sonic_->U));
    EXPECT_DOUBLE_EQ(sonic_->V, 3.5);
    EXPECT_DOUBLE_EQ(sonic_->W, 100.0);
    EXPECT_DOUBLE_EQ(sonic_->T, -7.25);  // trailing carriage return ignored
}

TEST_F(ParserTest, AuxiliaryValuesOnlyWhenAllValuesAreAsked) {
    const std::string line = "S,1,2,3,4,5.5,6.5,8,9,10.5,11.5,12";
    sonic_->A1 = sonic_->A2 = sonic_->A3 = sonic_->A4 = 42.0;
    Parse(line, false);
    EXPECT_DOUBLE_EQ(sonic_->T, 4.0);
    EXPECT_DOUBLE_EQ(sonic_->A1, 42.0);
    EXPECT_DOUBLE_EQ(sonic_->A4, 42.0);

    Parse(line, true);
    EXPECT_DOUBLE_EQ(sonic_->A1, 5.5);
    EXPECT_DOUBLE_EQ(sonic_->A2, 6.5);
    EXPECT_DOUBLE_EQ(sonic_->A3, 10.5);  // fields 8 and 9 are skipped
    EXPECT_DOUBLE_EQ(sonic_->A4, 11.5);

    Parse("S,1,2,3,4,5.5", true);  // absent auxiliary fields are missing again
    EXPECT_DOUBLE_EQ(sonic_->A1, 5.5);
    EXPECT_DOUBLE_EQ(sonic_->A2, MissingValue);
    EXPECT_DOUBLE_EQ(sonic_->A3, MissingValue);
    EXPECT_DOUBLE_EQ(sonic_->A4, MissingValue);
}

TEST_F(ParserTest, EmptyAndCommaOnlyRecordsLeaveEverythingMissing) {
    for (const char *text : {"", ",,,,", ","}) {
        Parse("S1,1,2,3,4", true);
        Parse(text, true);
        EXPECT_STREQ(sonic_->StatusField, "") << '"' << text << '"';
        EXPECT_DOUBLE_EQ(sonic_->U, MissingValue);
        EXPECT_DOUBLE_EQ(sonic_->V, MissingValue);
        EXPECT_DOUBLE_EQ(sonic_->W, MissingValue);
        EXPECT_DOUBLE_EQ(sonic_->T, MissingValue);
        EXPECT_DOUBLE_EQ(sonic_->A1, MissingValue);
        EXPECT_DOUBLE_EQ(sonic_->A4, MissingValue);
    }
    SampleRecord nullText;
    sonic_->ParseRecord(nullText, false);
    EXPECT_STREQ(sonic_->StatusField, "");
    EXPECT_DOUBLE_EQ(sonic_->U, MissingValue);
}

TEST_F(ParserTest, OnlyLengthCharactersAreRead) {
    Parse(std::string("S,1.5,2.5\0,3.5,4.5", 18), false);  // a zero inside ends the line
    EXPECT_DOUBLE_EQ(sonic_->V, 2.5);
    EXPECT_DOUBLE_EQ(sonic_->W, MissingValue);

    Parse("S,1.5,2.5,3.5,4.5", false, 7);  // "S,1.5,2"
    EXPECT_DOUBLE_EQ(sonic_->U, 1.5);
    EXPECT_DOUBLE_EQ(sonic_->V, 2.0);
    EXPECT_DOUBLE_EQ(sonic_->W, MissingValue);
    EXPECT_EQ(std::string(text_.data()), "S,1.5,2.5,3.5,4.5");  // the record is not modified
}

// The number forms an instrument field can take, read the same way on every platform.
TEST(ReadInstrumentNumber, DecimalNumbersOnly) {
    struct Case {
        const char *text;
        double value;
    };
    const Case cases[] = {
        {"0x10", 0.0},
        {"0X1p3", 0.0},
        {"-.5", -0.5},
        {" +3", 3.0},
        {"3e", 3.0},
        {"3e+", 3.0},
        {"e5", 0.0},
        {".", 0.0},
        {"-", 0.0},
        {"+-3", 0.0},
        {"1.5e3", 1500.0},
        {"2.5E-1x", 0.25},
        {"\t\r\n\v\f 7", 7.0},
        {"12.", 12.0},
        {"1e-999", 0.0},
        {"-1e-999", 0.0},
        {"1e308", 1e308},
        {"0.1", 0.1},
        {"123456789012345678901234567890", 1.2345678901234568e29},
        {"abc", 0.0},
        {"", 0.0},
        {"1,5", 1.0},
        {"0.000001e6", 1.0},
    };
    for (const Case &c : cases)
        EXPECT_DOUBLE_EQ(ReadInstrumentNumber(c.text), c.value) << '"' << c.text << '"';

    // Not a number, infinity and overflow are missing, in any spelling.
    for (const char *text : {"nan", "NaN", "-nan", "nan(123)", "inf", "-inf", "+INF", "Infinity", "1e999",
                             "-1e999", "1e309", "0.001e312", "99999e99999"})
        EXPECT_EQ(ReadInstrumentNumber(text), MissingValue) << '"' << text << '"';

    EXPECT_TRUE(std::signbit(ReadInstrumentNumber("-0")));
    EXPECT_EQ(ReadInstrumentNumber(nullptr), 0.0);
}

TEST_F(ParserTest, NumberFormsInTheLine) {
    Parse("S,0x10,nan,inf,1e999,-.5, +3,3e,,,e5", true);
    EXPECT_DOUBLE_EQ(sonic_->U, 0.0);
    EXPECT_DOUBLE_EQ(sonic_->V, MissingValue);
    EXPECT_DOUBLE_EQ(sonic_->W, MissingValue);
    EXPECT_DOUBLE_EQ(sonic_->T, MissingValue);
    EXPECT_DOUBLE_EQ(sonic_->A1, -0.5);
    EXPECT_DOUBLE_EQ(sonic_->A2, 3.0);
    EXPECT_DOUBLE_EQ(sonic_->A3, MissingValue);  // field 10 is empty
    EXPECT_DOUBLE_EQ(sonic_->A4, 0.0);           // "e5"
}

// Random lines of commas, digits, signs and letters: every comma ends a field, the record's
// trailing line end belongs to no field, and each number is the one strtod reads from the
// field (the alphabet holds no hexadecimal, infinity or not-a-number spellings, where the
// conversion deliberately differs), overflow being missing.
TEST_F(ParserTest, AgreesWithAPlainSplitAndStrtodOnRandomLines) {
    const char alphabet[] = ",,,,0123456789.-+eE \r";
    unsigned seed = 12345;
    auto next = [&seed]() {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) & 0x7fff;
    };
    for (int round = 0; round < 2000; ++round) {
        std::string line;
        size_t length = next() % 60;
        for (size_t i = 0; i < length; ++i)
            line.push_back(alphabet[next() % (sizeof alphabet - 1)]);

        std::string body = line;
        while (!body.empty() && body.back() == '\r')
            body.pop_back();
        std::vector<std::string> fields;
        for (size_t start = 0;;) {
            const size_t comma = body.find(',', start);
            fields.push_back(
                body.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
            if (comma == std::string::npos)
                break;
            start = comma + 1;
        }
        double expected[11];
        for (int index = 0; index < 11; ++index) {
            expected[index] = MissingValue;
            if (index > 0 && index < static_cast<int>(fields.size()) && !fields[index].empty()) {
                const double value = strtod(fields[index].c_str(), nullptr);
                expected[index] = std::isfinite(value) ? value : MissingValue;
            }
        }
        const std::string status = fields[0].substr(0, 14);

        Parse(line, true);
        SCOPED_TRACE(line);
        EXPECT_EQ(std::string(sonic_->StatusField), status);
        const double parsed[] = {sonic_->U,  sonic_->V,  sonic_->W,  sonic_->T,
                                 sonic_->A1, sonic_->A2, sonic_->A3, sonic_->A4};
        const int indexes[] = {1, 2, 3, 4, 5, 6, 9, 10};
        for (int i = 0; i < 8; ++i)
            EXPECT_DOUBLE_EQ(parsed[i], expected[indexes[i]]) << "field " << indexes[i] + 1;
    }
}

TEST(MissingValue, IntegerPartMinusNinetyNine) {
    EXPECT_TRUE(IsMissingValue(-99.5));
    EXPECT_TRUE(IsMissingValue(-99.0));
    EXPECT_TRUE(IsMissingValue(MissingValue));
    EXPECT_TRUE(IsMissingValue(-99.999));
    EXPECT_FALSE(IsMissingValue(-100.0));
    EXPECT_FALSE(IsMissingValue(-98.9));
    EXPECT_FALSE(IsMissingValue(0.0));
    EXPECT_FALSE(IsMissingValue(99.5));
}

}  // namespace
