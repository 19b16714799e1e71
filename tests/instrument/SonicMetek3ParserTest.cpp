// The uSonic-3 line parser: the StatusField, the numeric fields and the missing-value rule.
#include <gtest/gtest.h>

#include <algorithm>
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
        log_ = std::make_unique<EventLog>("Parser Test EventLog", "C:\\Data\\ParserTest");
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

TEST_F(ParserTest, AdjacentCommasMakeNoEmptyField) {
    Parse("x,,1.0,2.0", false);
    EXPECT_STREQ(sonic_->StatusField, "x");
    EXPECT_DOUBLE_EQ(sonic_->U, 1.0);
    EXPECT_DOUBLE_EQ(sonic_->V, 2.0);
    EXPECT_DOUBLE_EQ(sonic_->W, MissingValue);
    EXPECT_DOUBLE_EQ(sonic_->T, MissingValue);
}

TEST_F(ParserTest, LeadingCommasAreSkipped) {
    Parse(",,,S,4.5", false);
    EXPECT_STREQ(sonic_->StatusField, "S");
    EXPECT_DOUBLE_EQ(sonic_->U, 4.5);
    EXPECT_DOUBLE_EQ(sonic_->V, MissingValue);
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

TEST_F(ParserTest, NumericRulesOfAtof) {
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

// Random lines of commas, digits, signs and letters split and converted the same way as the
// standard library's strtok and atof do it.
TEST_F(ParserTest, AgreesWithStrtokAndAtofOnRandomLines) {
    const char alphabet[] = ",,,,0123456789.-+eE x\r";
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

        double expected[11];
        for (double &value : expected)
            value = MissingValue;
        std::string status;
        std::vector<char> copy(line.begin(), line.end());
        copy.push_back('\0');
        int index = 0;
        for (char *field = strtok(copy.data(), ","); field != nullptr && index < 11;
             field = strtok(nullptr, ",")) {
            if (index == 0)
                status.assign(field, std::min<size_t>(strlen(field), 14));
            else
                expected[index] = atof(field);
            ++index;
        }

        Parse(line, true);
        SCOPED_TRACE(line);
        EXPECT_EQ(std::string(sonic_->StatusField), status);
        const double parsed[] = {sonic_->U,  sonic_->V,  sonic_->W,  sonic_->T,
                                 sonic_->A1, sonic_->A2, sonic_->A3, sonic_->A4};
        const int fields[] = {1, 2, 3, 4, 5, 6, 9, 10};
        for (int i = 0; i < 8; ++i)
            EXPECT_DOUBLE_EQ(parsed[i], expected[fields[i]]) << "field " << fields[i] + 1;
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
