// The flux computation of one period against answers known in closed form.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "flux/Flux.h"

using namespace flux;

namespace {

const double Nan = std::numeric_limits<double>::quiet_NaN();
const double Pi = 3.14159265358979323846;
// 2026-12-09T14:30:00Z.
const Stamp Start = 134413002000000000LL;

Settings PeriodOf(unsigned seconds) {
    Settings settings;
    settings.Period = seconds;
    return settings;
}

// n records 100 ms apart from Start; f(i, u, v, w, T).
std::vector<Record> Series(int n, const std::function<void(int, double &, double &, double &, double &)> &f) {
    std::vector<Record> records(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        Record &r = records[static_cast<size_t>(i)];
        r.Time = Start + i * 1000000LL;
        f(i, r.U, r.V, r.W, r.T);
    }
    return records;
}

double Alternating(int i) {
    return i % 2 == 0 ? 1.0 : -1.0;
}
double Pairs(int i) {
    return i % 4 < 2 ? 1.0 : -1.0;
}

std::vector<std::string> Fields(const std::string &row) {
    std::vector<std::string> fields(1);
    for (char c : row.substr(0, row.size() - 2)) {
        if (c == ',')
            fields.emplace_back();
        else
            fields.back() += c;
    }
    return fields;
}

}  // namespace

TEST(FluxRotation, AFieldTurnedByKnownAnglesComesBackWithItsStreamlineCovariances) {
    // In streamline axes: mean wind 3 m/s along u, u' = s, v' = 0.5 p, w' = -0.3 s; cov(s, p) = 0.
    const double yaw = 35.0 * Pi / 180.0, pitch = 4.0 * Pi / 180.0;
    const int n = 600;
    auto records = Series(n, [&](int i, double &u, double &v, double &w, double &t) {
        const double u2 = 3.0 + Alternating(i), v2 = 0.5 * Pairs(i), w2 = -0.3 * Alternating(i);
        const double u1 = u2 * std::cos(pitch) - w2 * std::sin(pitch);
        w = u2 * std::sin(pitch) + w2 * std::cos(pitch);
        u = u1 * std::cos(yaw) - v2 * std::sin(yaw);
        v = u1 * std::sin(yaw) + v2 * std::cos(yaw);
        t = 20.0;
    });
    const Result r = ComputePeriod(Start, records, PeriodOf(60));
    const double variance = n / (n - 1.0);
    EXPECT_EQ(r.Samples, n);
    EXPECT_NEAR(r.Yaw, 35.0, 1e-9);
    EXPECT_NEAR(r.Pitch, 4.0, 1e-9);
    EXPECT_NEAR(r.URot, 3.0, 1e-12);
    EXPECT_NEAR(r.CovUW, -0.3 * variance, 1e-12);
    EXPECT_NEAR(r.CovVW, 0.0, 1e-12);
    EXPECT_NEAR(r.SigmaV, 0.5 * std::sqrt(variance), 1e-12);
    EXPECT_NEAR(r.UStar, std::sqrt(0.3 * variance), 1e-12);
    const double rho = 101325.0 / (287.05 * 293.15);
    EXPECT_NEAR(r.Tau, rho * 0.3 * variance, 1e-12);
    // Wind from the direction the mean vector points away from: u east, v north.
    const double uBar = 3.0 * std::cos(pitch) * std::cos(yaw), vBar = 3.0 * std::cos(pitch) * std::sin(yaw);
    EXPECT_NEAR(r.WindSpeed, std::hypot(uBar, vBar), 1e-12);
    EXPECT_NEAR(r.WindDir, 235.0, 1e-9);  // 180 + 55 (the vector points to azimuth 55)
    // T is constant: no heat flux, so no Obukhov length and no stability; H is zero itself.
    EXPECT_EQ(r.H, 0.0);
    EXPECT_TRUE(std::isnan(r.L));
    EXPECT_TRUE(std::isnan(r.Zeta));
    EXPECT_TRUE(std::isnan(r.RnWT));
    EXPECT_EQ(r.FlagH, -1);
    // The v axis turned to the east gives 90 degrees more.
    Settings turned = PeriodOf(60);
    turned.NorthOffset = 215.0;
    EXPECT_NEAR(ComputePeriod(Start, records, turned).WindDir, 90.0, 1e-9);
}

TEST(FluxDespiking, TheMadRuleCountsPlantedSpikesAndNoneWhenMadIsZero) {
    std::vector<double> even = {10, 1, 3, 2};
    EXPECT_EQ(Median(even), 2.5);
    // 48 of -1 and of +1: median 0, MAD 1, limit 7 / 0.6745 = 10.378; planted +-10.3 and +-10.4.
    const double planted[4] = {10.3, -10.3, 10.4, -10.4};
    auto records = Series(101, [&](int i, double &u, double &v, double &w, double &t) {
        u = i < 4 ? planted[i] : Alternating(i);
        v = Alternating(i);
        w = 0.1 * Alternating(i);
        t = 20.0 + (i == 50 ? 1000.0 : 0.0);  // MAD of T is 0: no spike, whatever the value
    });
    records[60].V = 100.0;  // a spike in v alone drops its record
    records[100].W = Nan;   // missing: excluded before anything else
    Result r = ComputePeriod(Start, records, PeriodOf(60));
    EXPECT_EQ(r.Excluded, 1);
    EXPECT_EQ(r.SpikesU, 2);
    EXPECT_EQ(r.SpikesV, 1);
    EXPECT_EQ(r.SpikesW, 0);
    EXPECT_EQ(r.SpikesT, 0);
    EXPECT_EQ(r.Samples, 97);
    // A higher threshold keeps them all.
    Settings lenient = PeriodOf(60);
    lenient.DespikeThreshold = 700.0;
    EXPECT_EQ(ComputePeriod(Start, records, lenient).Samples, 100);
}

TEST(FluxSteadyState, AStationarySeriesPassesAndARampFails) {
    const int n = 600, sub = 100;  // six sub-periods of 10 s at 10 Hz
    auto stationary = Series(n, [](int i, double &u, double &v, double &w, double &t) {
        u = 2.0 + 0.5 * Alternating(i);
        v = 0.0;
        w = -0.1 * Alternating(i);
        t = 20.0 + 0.4 * Alternating(i);
    });
    Result r = ComputePeriod(Start, stationary, PeriodOf(60));
    const double expected = std::fabs((sub / (sub - 1.0)) / (n / (n - 1.0)) - 1.0) * 100.0;
    EXPECT_NEAR(r.RnUW, expected, 1e-9);
    EXPECT_NEAR(r.RnWT, expected, 1e-9);
    EXPECT_LT(r.RnWT, 15.0);

    // w and T ramps through the period: within a sub-period the ramp's variance is
    // sub(sub+1)/12 against n(n+1)/12 for the whole.
    auto ramp = Series(n, [](int i, double &u, double &v, double &w, double &t) {
        const double r = i - (n - 1) / 2.0;
        u = 2.0;
        v = 0.0;
        w = 0.001 * r;
        t = 20.0 + 0.002 * r;
    });
    r = ComputePeriod(Start, ramp, PeriodOf(60));
    EXPECT_NEAR(r.Pitch, 0.0, 1e-12);
    EXPECT_NEAR(r.RnWT, (1.0 - (sub * (sub + 1.0)) / (n * (n + 1.0))) * 100.0, 1e-9);
    // u is constant: u* is 0, so the momentum tests, L's stability and the ITC have no figure.
    EXPECT_EQ(r.UStar, 0.0);
    EXPECT_TRUE(std::isnan(r.RnUW));
    EXPECT_TRUE(std::isnan(r.Zeta));
    EXPECT_TRUE(std::isnan(r.ItcW));
    EXPECT_EQ(r.FlagTau, -1);

    // A sub-period with fewer than 3 records is left out of the mean.
    std::vector<Record> sparse;  // two records left in the first
    for (size_t i = 0; i < stationary.size(); ++i)
        if (i < 2 || i >= static_cast<size_t>(sub))
            sparse.push_back(stationary[i]);
    r = ComputePeriod(Start, sparse, PeriodOf(60));
    EXPECT_NEAR(r.RnWT, std::fabs((sub / (sub - 1.0)) / (502.0 / 501.0) - 1.0) * 100.0, 1e-9);
}

TEST(FluxItc, BothBranchesOfTheModel) {
    // u' = s, w' = -0.25 s: u* = 0.5 (n/(n-1))^(1/2), sigma_w = 0.25 (n/(n-1))^(1/2).
    // T' = -+2 s gives an upward or a downward heat flux.
    const int n = 600;
    const double variance = n / (n - 1.0);
    for (double sign : {1.0, -1.0}) {
        auto records = Series(n, [&](int i, double &u, double &v, double &w, double &t) {
            u = 2.0 + Alternating(i);
            v = 0.0;
            w = -0.25 * Alternating(i);
            t = 20.0 - sign * 2.0 * Alternating(i);
        });
        Settings settings = PeriodOf(60);
        settings.MeasurementHeight = 10.0;
        settings.DisplacementHeight = 2.0;
        const Result r = ComputePeriod(Start, records, settings);
        const double ustar = std::sqrt(0.25 * variance), covWT = sign * 0.5 * variance;
        ASSERT_NEAR(r.UStar, ustar, 1e-12);
        ASSERT_NEAR(r.CovWT, covWT, 1e-12);
        const double l = -ustar * ustar * ustar * 293.15 / (0.4 * 9.81 * covWT);
        EXPECT_NEAR(r.L, l, 1e-9);
        EXPECT_NEAR(r.Zeta, 8.0 / l, 1e-12);
        const double measured = 0.25 * std::sqrt(variance) / ustar;  // 0.5
        const double model =
            sign > 0 ? 1.3 * std::cbrt(1.0 - 2.0 * 8.0 / l)
                     : 0.21 * std::log(2.0 * 7.292e-5 * std::sin(50.0 * Pi / 180.0) / ustar) + 3.1;
        EXPECT_LT(r.Zeta * sign, sign > 0 ? -0.2 : 0.2);
        EXPECT_NEAR(r.ItcW, std::fabs(model - measured) / model * 100.0, 1e-9);
        EXPECT_NEAR(r.H, 101325.0 / (287.05 * 293.15) * 1004.67 * covWT, 1e-9);
    }
}

TEST(FluxFlags, EveryClassLimitOfTheTable) {
    const double limits[8] = {15, 30, 50, 75, 100, 250, 500, 1000};
    EXPECT_EQ(TestClass(0.0), 1);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(TestClass(limits[i]), i + 1) << limits[i];
        EXPECT_EQ(TestClass(std::nextafter(limits[i], 2000.0)), i + 2) << limits[i];
    }
    EXPECT_EQ(QualityFlag(30, 75), 0);
    EXPECT_EQ(QualityFlag(30.01, 75), 1);
    EXPECT_EQ(QualityFlag(30, 75.01), 1);
    EXPECT_EQ(QualityFlag(100, 100), 1);
    EXPECT_EQ(QualityFlag(100.01, 1), 2);
    EXPECT_EQ(QualityFlag(1, 100.01), 2);
    EXPECT_EQ(QualityFlag(Nan, 1), -1);
}

TEST(FluxRow, FewerThanTenSamplesLeaveTheFiguresEmptyAndTheCountsStay) {
    auto records = Series(9, [](int i, double &u, double &v, double &w, double &t) {
        u = 1.0 + i;
        v = 0.0;
        w = 0.0;
        t = i == 3 ? Nan : 20.0;
    });
    const Result r = ComputePeriod(Start, records, PeriodOf(1800));
    const std::string row = CsvRow(r);
    ASSERT_EQ(row.substr(row.size() - 2), "\r\n");
    const auto fields = Fields(row);
    ASSERT_EQ(fields.size(), 34u);
    EXPECT_EQ(fields[0], "2026-12-09T14:30:00Z");
    EXPECT_EQ(fields[1], "2026-12-09T15:00:00Z");
    EXPECT_EQ(fields[2], "8");
    EXPECT_EQ(fields[3], "1");
    for (size_t i = 8; i < fields.size(); ++i)
        EXPECT_EQ(fields[i], "") << i;
    EXPECT_EQ(Fields(CsvHeader()).size(), 34u);
    // With ten samples the figures are there, with nine significant digits.
    records[3].T = 20.0;
    records.push_back(records.back());
    records.back().Time += 1000000;
    records.back().U = 1.0 / 3.0;
    const auto full = Fields(CsvRow(ComputePeriod(Start, records, PeriodOf(1800))));
    EXPECT_EQ(full[2], "10");
    EXPECT_EQ(full[11], "20");
    EXPECT_EQ(full[8], "4.53333333");
}

TEST(FluxStream, PeriodsCloseOnTheGridAndThePartialOneIsFlushed) {
    PeriodStream stream(PeriodOf(60));
    std::vector<Result> closed;
    Record record{Start + 59 * UnitsPerSecond, 1, 0, 0, 20};
    stream.Add(record, closed);
    record.Time = Start + 60 * UnitsPerSecond;  // reaches the end: the first period closes
    stream.Add(record, closed);
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_EQ(closed[0].Start, Start);
    EXPECT_EQ(closed[0].Samples, 1);
    record.Time = Start + 10 * UnitsPerSecond;  // the clock stepped back: left out
    stream.Add(record, closed);
    EXPECT_EQ(stream.Dropped, 1u);
    Result last;
    ASSERT_TRUE(stream.Flush(last));
    EXPECT_EQ(last.Start, Start + 60 * UnitsPerSecond);
    EXPECT_EQ(last.Samples, 1);
    EXPECT_FALSE(stream.Flush(last));
}

TEST(FluxRawValue, ReadsTheRawLineTextsAndMissingValues) {
    EXPECT_EQ(ReadRawValue("1.500", 5), 1.5);
    EXPECT_EQ(ReadRawValue("-100.000", 8), -100.0);
    EXPECT_TRUE(std::isnan(ReadRawValue("-99.", 4)));
    EXPECT_TRUE(std::isnan(ReadRawValue("-99.500", 7)));
    EXPECT_TRUE(std::isnan(ReadRawValue("1.5x", 4)));
    EXPECT_TRUE(std::isnan(ReadRawValue("", 0)));
}
