// The uSonic-3 statistics of one period: what each record adds to the accumulators and the
// moments, covariances and block figures computed from them.
#include <cmath>
#include <string>
#include <vector>

#include "StatisticsFixture.h"

namespace {

using StatisticsComputation = StatisticsFixture;

// A status field with the heating state at position 10, the block digit at 11 and the
// block percentage from 12 on.
std::string Status(char heating, char block, const std::string &percentage) {
    return std::string("ABCDEFGHI") + heating + block + percentage;
}

std::string Line(const std::string &status, const std::string &u, const std::string &v, const std::string &w,
                 const std::string &t) {
    return status + "," + u + "," + v + "," + w + "," + t + ",1.0,2.0,0,0,3.0,4.0\r\n";
}

TEST_F(StatisticsComputation, BadRecordCountsAsBadForEveryValueAndPair) {
    Accumulate(Line(Status('1', '3', "050"), "1.0", "2.0", "3.0", "20.0"), SampleBad);
    Accumulate("anything", SampleEdited);
    for (const auto *moments : {&engine_.UStats, &engine_.VStats, &engine_.WStats, &engine_.TStats}) {
        EXPECT_EQ(moments->BadSamp, 2);
        EXPECT_EQ(moments->GoodSamp, 0u);
        EXPECT_EQ(moments->Sum1, 0.0);
    }
    for (const auto *pair : {&engine_.UW, &engine_.VW, &engine_.WT}) {
        EXPECT_EQ(pair->BadSamp, 2);
        EXPECT_EQ(pair->GoodSamp, 0u);
    }
    EXPECT_EQ(engine_.NumSamp, 0u);
    EXPECT_EQ(engine_.OnGoodSamp, 0);
    EXPECT_EQ(engine_.BlockSamp, 0u);
}

TEST_F(StatisticsComputation, BlackoutRecordCountsOnlyAsBlackout) {
    Accumulate(Line(Status('1', '3', "050"), "1.0", "2.0", "3.0", "20.0"), SampleBlackout);
    EXPECT_EQ(engine_.NumSamp, 1u);
    for (const auto *moments : {&engine_.UStats, &engine_.VStats, &engine_.WStats, &engine_.TStats}) {
        EXPECT_EQ(moments->BadSamp, 0);
        EXPECT_EQ(moments->GoodSamp, 0u);
    }
    for (const auto *pair : {&engine_.UW, &engine_.VW, &engine_.WT})
        EXPECT_EQ(pair->BadSamp + static_cast<int>(pair->GoodSamp), 0);
    EXPECT_EQ(engine_.OnGoodSamp + engine_.OffSamp + engine_.OnBadSamp, 0);
    EXPECT_EQ(engine_.BlockSamp, 0u);
}

TEST_F(StatisticsComputation, MissingValuesCountPerValueAndPair) {
    // u missing, w present: u bad, w good, uw bad; vw and wT good.
    Accumulate(Line(Status('1', '0', "000"), "-99.50", "2.0", "0.5", "20.0"));
    EXPECT_EQ(engine_.UStats.BadSamp, 1);
    EXPECT_EQ(engine_.UStats.GoodSamp, 0u);
    EXPECT_EQ(engine_.WStats.GoodSamp, 1u);
    EXPECT_EQ(engine_.UW.BadSamp, 1);
    EXPECT_EQ(engine_.UW.GoodSamp, 0u);
    EXPECT_EQ(engine_.VW.GoodSamp, 1u);
    EXPECT_EQ(engine_.WT.GoodSamp, 1u);

    // Left-out fields stay missing; -98.9 and -100 are values.
    Accumulate(Status('1', '0', "000") + ",-98.9,-100.0\r\n");
    EXPECT_EQ(engine_.UStats.GoodSamp, 1u);
    EXPECT_EQ(engine_.VStats.GoodSamp, 2u);
    EXPECT_EQ(engine_.WStats.BadSamp, 1);
    EXPECT_EQ(engine_.TStats.BadSamp, 1);
    EXPECT_EQ(engine_.VW.BadSamp, 1);
    engine_.ComputeStatistics();
    EXPECT_DOUBLE_EQ(engine_.UStats.Average, -98.9);
    EXPECT_DOUBLE_EQ(engine_.VStats.Average, (2.0 - 100.0) / 2);
    EXPECT_DOUBLE_EQ(engine_.WT.Value, 0.5 * 20.0 - 0.5 * 20.0);
}

TEST_F(StatisticsComputation, HeatingStatesAndBlockFigures) {
    Accumulate(Line(Status('0', '0', "000"), "1", "1", "1", "1"));
    Accumulate(Line(Status('1', '2', "50"), "1", "1", "1", "1"));  // 13 characters
    Accumulate(Line(Status('2', 'x', "025"), "1", "1", "1", "1"));
    Accumulate(Line(Status('7', '0', "150"), "1", "1", "1", "1"));  // percentage above 100
    Accumulate(Line(Status('1', '8', ""), "1", "1", "1", "1"));     // 11 characters, no percentage
    Accumulate(Line("ABCDEFGHI", "1", "1", "1", "1"));              // too short for any of it
    EXPECT_EQ(engine_.OffSamp, 1);
    EXPECT_EQ(engine_.OnGoodSamp, 2);
    EXPECT_EQ(engine_.OnBadSamp, 1);
    EXPECT_EQ(engine_.BlockSamp, 4u);
    EXPECT_FLOAT_EQ(engine_.BlockDigitSum, 10.0f);
    EXPECT_FLOAT_EQ(engine_.BlockPctSum, 75.0f);
    EXPECT_EQ(engine_.UStats.GoodSamp, 6u);

    // The percentage above 100 counts the record but adds nothing: 75 / 4 rounds to 19.
    WritePeriod(CalendarTime(2026, 12, 8, 21, 4, 0), CalendarTime(2026, 12, 8, 21, 5, 0));
    const std::vector<std::string> fields = LastLineFields();
    ASSERT_EQ(fields.size(), 41u);
    EXPECT_EQ(fields[BlockSampField], "4");
    EXPECT_EQ(fields[BlockAvgField], "2.5");
    EXPECT_EQ(fields[BlockPctAvgField], "19");
}

TEST_F(StatisticsComputation, StatusFieldIsCutToFourteenCharacters) {
    // Characters 15 and on do not belong to the percentage: "0123456" reads as 12.
    Accumulate(Line(Status('1', '0', "0123456"), "1", "1", "1", "1"));
    EXPECT_EQ(engine_.BlockPercentage, 12);
    EXPECT_FLOAT_EQ(engine_.BlockPctSum, 12.0f);
}

TEST_F(StatisticsComputation, MomentsOfOneToFour) {
    for (const char *u : {"1", "2", "3", "4"})
        Accumulate(Line(Status('1', '0', "000"), u, "2.0", "0", "20.3"));
    engine_.ComputeStatistics();
    EXPECT_DOUBLE_EQ(engine_.UStats.Average, 2.5);
    EXPECT_DOUBLE_EQ(engine_.UStats.StdDev, std::sqrt(1.25));
    EXPECT_NEAR(engine_.UStats.Skewness, 0.0, 1e-12);
    EXPECT_NEAR(engine_.UStats.Kurtosis, -1.36, 1e-12);

    WritePeriod(CalendarTime(2026, 12, 8, 21, 4, 0), CalendarTime(2026, 12, 8, 21, 5, 0));
    const std::vector<std::string> fields = LastLineFields();
    ASSERT_EQ(fields.size(), 41u);
    EXPECT_EQ(std::vector<std::string>(fields.begin() + UField, fields.begin() + UField + 6),
              (std::vector<std::string>{"4", "0", "2.50", "1.12", "0.00", "-1.36"}));
    // Constant values have no spread, so no skewness or kurtosis; 20.3, which binary
    // floating point cannot hold exactly, as much as 2.0 and 0.
    EXPECT_EQ(std::vector<std::string>(fields.begin() + VField + 2, fields.begin() + VField + 6),
              (std::vector<std::string>{"2.00", "0.00", "-99.99", "-99.99"}));
    EXPECT_EQ(std::vector<std::string>(fields.begin() + WField + 2, fields.begin() + WField + 6),
              (std::vector<std::string>{"0.00", "0.00", "-99.99", "-99.99"}));
    EXPECT_EQ(std::vector<std::string>(fields.begin() + TField + 2, fields.begin() + TField + 6),
              (std::vector<std::string>{"20.30", "0.00", "-99.99", "-99.99"}));
}

TEST_F(StatisticsComputation, ConstantSeriesOfAnyLengthHasNoSpread) {
    for (int n = 1; n <= 40; ++n)
        Accumulate(Line(Status('1', '0', "000"), "-1.37", "5.55", "0.1", "19.87"));
    engine_.ComputeStatistics();
    for (const auto *moments : {&engine_.UStats, &engine_.VStats, &engine_.WStats, &engine_.TStats}) {
        EXPECT_EQ(moments->StdDev, 0.0);
        EXPECT_EQ(moments->Skewness, StatsMissingValue);
        EXPECT_EQ(moments->Kurtosis, StatsMissingValue);
    }
}

TEST_F(StatisticsComputation, CovarianceUsesEachComponentsOwnAverage) {
    // w's average (2.0) includes the record in which u is missing.
    Accumulate(Line(Status('1', '0', "000"), "1", "0", "1", "10"));
    Accumulate(Line(Status('1', '0', "000"), "3", "0", "2", "10"));
    Accumulate(Line(Status('1', '0', "000"), "-99", "0", "3", "-99"));
    engine_.ComputeStatistics();
    EXPECT_EQ(engine_.UW.GoodSamp, 2u);
    EXPECT_EQ(engine_.UW.BadSamp, 1);
    EXPECT_DOUBLE_EQ(engine_.UW.Value, (1.0 + 6.0) / 2 - 2.0 * 2.0);
    EXPECT_DOUBLE_EQ(engine_.WT.Value, (10.0 + 20.0) / 2 - 2.0 * 10.0);
    EXPECT_DOUBLE_EQ(engine_.VW.Value, 0.0);
}

TEST_F(StatisticsComputation, WritingClearsTheAccumulatorsEvenWhenTheFileFails) {
    Accumulate(Line(Status('1', '1', "010"), "1", "2", "3", "4"));
    Accumulate("x", SampleBlackout);
    WritePeriod(CalendarTime(2026, 12, 8, 21, 4, 0), CalendarTime(2026, 12, 8, 21, 5, 0),
                "C:\\Missing\\s.txt");
    EXPECT_EQ(engine_.NumSamp, 0u);
    EXPECT_EQ(engine_.OnGoodSamp, 0);
    EXPECT_EQ(engine_.BlockSamp, 0u);
    EXPECT_EQ(engine_.BlockDigitSum, 0.0f);
    EXPECT_EQ(engine_.UStats.GoodSamp, 0u);
    EXPECT_EQ(engine_.UStats.Sum4, 0.0);
    EXPECT_EQ(engine_.WT.SumProduct, 0.0);

    // The next period starts from nothing.
    Accumulate(Line(Status('0', '0', "000"), "5", "5", "5", "5"));
    WritePeriod(CalendarTime(2026, 12, 8, 21, 5, 0), CalendarTime(2026, 12, 8, 21, 6, 0));
    const std::vector<std::string> fields = LastLineFields();
    ASSERT_EQ(fields.size(), 41u);
    EXPECT_EQ(fields[NumSampField], "0");
    EXPECT_EQ(fields[OffSampField], "1");
    EXPECT_EQ(fields[OnGoodSampField], "0");
    EXPECT_EQ(fields[UField], "1");
    EXPECT_EQ(fields[UField + 2], "5.00");
}

TEST_F(StatisticsComputation, ValuesThatAreNotFiniteCountAsMissing) {
    // A garbled field that reads as infinity or not-a-number must not poison the period.
    Accumulate(Line(Status('1', '0', "000"), "1e999", "nan", "1.0", "20.0"));
    Accumulate(Line(Status('1', '0', "000"), "3.0", "-inf", "3.0", "22.0"));
    EXPECT_EQ(engine_.UStats.GoodSamp, 1u);
    EXPECT_EQ(engine_.UStats.BadSamp, 1);
    EXPECT_EQ(engine_.VStats.GoodSamp, 0u);
    EXPECT_EQ(engine_.VStats.BadSamp, 2);
    EXPECT_EQ(engine_.UW.GoodSamp, 1u);
    EXPECT_EQ(engine_.VW.BadSamp, 2);
    // A value so large that its fourth power overflows gives no figure rather than inf.
    Accumulate(Line(Status('1', '0', "000"), "3.0", "1e300", "3.0", "22.0"));
    engine_.ComputeStatistics();
    EXPECT_DOUBLE_EQ(engine_.UStats.Average, 3.0);
    EXPECT_DOUBLE_EQ(engine_.WStats.Average, 7.0 / 3.0);
    EXPECT_EQ(engine_.VStats.Kurtosis, StatsMissingValue);
    EXPECT_TRUE(std::isfinite(engine_.VStats.StdDev));
}

}  // namespace
