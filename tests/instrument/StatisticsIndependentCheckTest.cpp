// Checks the one-pass statistics against an independent computation: a generated 30-minute
// stream at 20 Hz (turbulent u, v, w and T near 20 C, with missing values, blackout and bad
// records) goes through the period timing and the accumulators, and every figure is
// compared with two-pass population moments computed here in extended precision.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "common/TestRoot.h"
#include "instrument/SonicMetek3ClassAMPSerial.h"
#include "services/EventLog.h"

namespace {

// Keeps the unrounded results of each period before they are written and cleared.
class CapturingEngine : public SonicMetek3ClassAMPSerial {
public:
    using SonicMetek3ClassAMPSerial::SonicMetek3ClassAMPSerial;
    struct Results {
        Moments U, V, W, T;
        Covariance UW, VW, WT;
        float BlockAvg, BlockPctAvg;
    };
    void WriteStatistics() override {
        ComputeStatistics();
        Captured.push_back({UStats, VStats, WStats, TStats, UW, VW, WT, BlockAvg, BlockPctAvg});
        SonicMetek3ClassAMPSerial::WriteStatistics();
    }
    std::vector<Results> Captured;
};

// A small deterministic generator, the same on every platform and library.
class Random {
public:
    explicit Random(uint64_t seed) : state_(seed) {}
    double Uniform() {  // (0, 1)
        state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
        return (static_cast<double>(state_ >> 11) + 0.5) / 9007199254740992.0;
    }
    double Normal() {
        const double r = std::sqrt(-2.0 * std::log(Uniform()));
        return r * std::cos(6.283185307179586 * Uniform());
    }

private:
    uint64_t state_;
};

// One value series of the reference: the values that are present.
struct Series {
    std::vector<long double> Values;
    int Bad = 0;
};

struct ReferenceMoments {
    long double Average, StdDev, Skewness, Kurtosis;
    bool HasSpread;
};

ReferenceMoments TwoPass(const Series &series) {
    const long double n = series.Values.size();
    long double sum = 0;
    for (long double x : series.Values)
        sum += x;
    const long double mean = sum / n;
    long double c2 = 0, c3 = 0, c4 = 0;
    for (long double x : series.Values) {
        const long double d = x - mean;
        c2 += d * d;
        c3 += d * d * d;
        c4 += d * d * d * d;
    }
    c2 /= n;
    c3 /= n;
    c4 /= n;
    const long double deviation = std::sqrt(c2);
    return {mean, deviation, c3 / (c2 * deviation), c4 / (c2 * c2) - 3.0L, c2 > 0};
}

// The covariance about each component's average over all its present values, in a stable
// two-pass form: mean of (a - A)(b - B) over the pairs, corrected by how far the pairs' own
// means lie from A and B.
long double TwoPassCovariance(const std::vector<std::pair<long double, long double>> &pairs, long double a,
                              long double b) {
    const long double n = pairs.size();
    long double sumA = 0, sumB = 0, cross = 0;
    for (const auto &p : pairs) {
        sumA += p.first;
        sumB += p.second;
        cross += (p.first - a) * (p.second - b);
    }
    return cross / n + a * (sumB / n - b) + b * (sumA / n - a);
}

std::string Format(const char *format, double value) {
    char text[64];
    snprintf(text, sizeof text, format, value);
    return text;
}

// The printed figure agrees with the reference, allowing for a reference that lies within
// its tolerance of a rounding boundary.
void ExpectPrinted(const std::string &printed, const char *format, long double reference,
                   long double tolerance, const std::string &what) {
    const double low = static_cast<double>(reference - tolerance);
    const double high = static_cast<double>(reference + tolerance);
    const std::string trimmedLow = Format(format, low), trimmedHigh = Format(format, high);
    auto trim = [](std::string s) { return s.substr(s.find_first_not_of(' ')); };
    EXPECT_TRUE(printed == trim(trimmedLow) || printed == trim(trimmedHigh))
        << what << ": printed " << printed << ", reference "
        << Format("%.12f", static_cast<double>(reference));
}

TEST(StatisticsIndependentCheck, ThirtyMinutesAtTwentyHertz) {
    TestRoot root;
    std::filesystem::create_directories(root.Posix("c/Stats"));
    EventLog log("Statistics check log", root.Drive("C:\\Data").c_str());
    CapturingEngine engine("Metek", "666", log);

    SYSTEMTIME noon = {2026, 6, 0, 21, 12, 0, 0, 0};
    FILETIME start;
    ASSERT_TRUE(SystemTimeToFileTime(&noon, &start));
    const uint64_t startTicks = (static_cast<uint64_t>(start.dwHighDateTime) << 32) | start.dwLowDateTime;
    engine.StatsArchivePeriod = 1800;
    snprintf(engine.StatsArchiveDirectory, sizeof engine.StatsArchiveDirectory, "%s",
             root.Drive("C:\\Stats").c_str());
    snprintf(engine.StatsFileTemplate, sizeof engine.StatsFileTemplate, "%s", "check.txt");
    engine.PeriodStart = start;
    engine.DayStart = start;
    const uint64_t endTicks = startTicks + 1800ULL * 10000000ULL;
    engine.PeriodEnd = {static_cast<DWORD>(endTicks), static_cast<DWORD>(endTicks >> 32)};

    // --- The stream and, alongside, what the reference needs ------------------------------
    const int samples = 1800 * 20;
    Random random(20260621);
    std::vector<std::string> texts;
    std::vector<SHORT> statuses;
    Series u, v, w, t;
    std::vector<std::pair<long double, long double>> uw, vw, wt;
    int blackout = 0, off = 0, onGood = 0, onBad = 0, blocked = 0, pairBad[3] = {};
    long double digitSum = 0, percentSum = 0;
    double au = 0, av = 0, aw = 0, at = 0;  // AR(1) turbulence, unit variance
    const double phi = 0.95, innovation = std::sqrt(1 - phi * phi);
    for (int i = 0; i <= samples; ++i) {
        au = phi * au + innovation * random.Normal();
        av = phi * av + innovation * random.Normal();
        aw = phi * aw + innovation * random.Normal();
        at = phi * at + innovation * random.Normal();
        const double uValue = 4.2 + 1.1 * au;
        const double vValue = -1.3 + 0.9 * av;
        const double wValue = 0.05 + 0.35 * (-0.3 * au + 0.95 * aw) + 0.08 * (aw * aw - 1);  // skewed
        const double tValue = 20.0 + 0.4 * (0.5 * aw + 0.85 * at);

        SHORT status = SampleGood;
        if (i >= 12000 && i < 12120)
            status = SampleBlackout;  // six seconds after a clock synchronisation
        else if (random.Uniform() < 0.005)
            status = SampleBad;

        // Status field: heating state at 10, block digit at 11, percentage from 12.
        const double pick = random.Uniform();
        const char heating = pick < 0.9 ? '1' : pick < 0.95 ? '0' : pick < 0.98 ? '2' : 'x';
        int digit = 0, percent = 0;
        if (random.Uniform() < 0.03) {
            digit = static_cast<int>(random.Uniform() * 10);     // 0 to 9
            percent = static_cast<int>(random.Uniform() * 121);  // 0 to 120
        }
        char status14[32];
        snprintf(status14, sizeof status14, "M0A1B2C3D%c%d%03d", heating, digit, percent);
        const bool shortStatus = random.Uniform() < 0.01;
        std::string text = shortStatus ? "M0A1B" : status14;

        // Values at the instrument's resolution; some missing, some left out of the line.
        char field[32];
        auto value = [&](double x, double missingChance, const char *missingText) {
            if (random.Uniform() < missingChance)
                return std::string(missingText);
            snprintf(field, sizeof field, "%.2f", x);
            return std::string(field);
        };
        const std::string uText = value(uValue, 0.01, "-99.99");
        const std::string vText = value(vValue, 0.002, "-99");
        const std::string wText = value(wValue, 0.005, "-99.00");
        const bool tLeftOut = random.Uniform() < 0.003;
        const std::string tText = tLeftOut ? "" : value(tValue, 0.005, "-99.5");
        text += "," + uText + "," + vText + "," + wText;
        if (!tLeftOut)
            text += "," + tText + ",0.12,0.34,0,0,1.5,2.5";
        text += "\r\n";
        texts.push_back(text);
        statuses.push_back(status);

        if (i == samples)
            break;  // the sample that closes the period belongs to the next one
        if (status == SampleBlackout) {
            ++blackout;
            continue;
        }
        if (status == SampleBad) {
            ++u.Bad, ++v.Bad, ++w.Bad, ++t.Bad;
            ++pairBad[0], ++pairBad[1], ++pairBad[2];
            continue;
        }
        if (!shortStatus) {
            off += heating == '0';
            onGood += heating == '1';
            onBad += heating == '2';
            digitSum += digit;
            if (percent >= 1 && percent <= 100)
                percentSum += percent;
            blocked += digit > 0 || percent > 0;
        }
        auto add = [](Series &series, const std::string &text) {
            const bool missing = text.empty() || text.compare(0, 3, "-99") == 0;
            if (missing)
                ++series.Bad;
            else
                series.Values.push_back(std::strtod(text.c_str(), nullptr));
            return missing;
        };
        const bool uMissing = add(u, uText), vMissing = add(v, vText), wMissing = add(w, wText),
                   tMissing = add(t, tText);
        if (uMissing || wMissing)
            ++pairBad[0];
        else
            uw.emplace_back(u.Values.back(), w.Values.back());
        if (vMissing || wMissing)
            ++pairBad[1];
        else
            vw.emplace_back(v.Values.back(), w.Values.back());
        if (wMissing || tMissing)
            ++pairBad[2];
        else
            wt.emplace_back(w.Values.back(), t.Values.back());
    }

    // --- Through the period timing, one handed-over buffer at a time ------------------------
    size_t next = 0;
    int bufferIndex = 0;
    while (next < texts.size()) {
        SampleBuffer &buffer = engine.Buffers[bufferIndex];
        std::vector<char *> ownTexts;
        DWORD count = 0;
        for (; count < SampleBuffer::Capacity && next < texts.size(); ++count, ++next) {
            SampleRecord &record = buffer.Records[count];
            ownTexts.push_back(record.Text);
            record.Text = &texts[next][0];
            record.Length = static_cast<LONG>(texts[next].size());
            record.Status = statuses[next];
            const uint64_t stamp = startTicks + static_cast<uint64_t>(next) * 500000ULL;  // 50 ms
            record.TimeStamp = {static_cast<DWORD>(stamp), static_cast<DWORD>(stamp >> 32)};
        }
        buffer.SampleCount = count;
        engine.CurrentBuffer = bufferIndex;
        engine.RunStatisticsTiming();
        for (DWORD i = 0; i < count; ++i) {
            buffer.Records[i].Text = ownTexts[i];
            buffer.Records[i].Length = 0;
            buffer.Records[i].Status = SampleGood;
        }
        buffer.SampleCount = 0;
        bufferIndex = (bufferIndex + 1) % DataAcquisition::BufferCount;
    }
    ASSERT_EQ(engine.Captured.size(), 1u) << "exactly the one period closed";
    const CapturingEngine::Results &results = engine.Captured[0];

    // --- Unrounded figures against the two-pass reference --------------------------------------
    const ReferenceMoments reference[4] = {TwoPass(u), TwoPass(v), TwoPass(w), TwoPass(t)};
    const CapturingEngine::Moments *computed[4] = {&results.U, &results.V, &results.W, &results.T};
    const long double covariance[3] = {TwoPassCovariance(uw, reference[0].Average, reference[2].Average),
                                       TwoPassCovariance(vw, reference[1].Average, reference[2].Average),
                                       TwoPassCovariance(wt, reference[2].Average, reference[3].Average)};
    const CapturingEngine::Covariance *computedPairs[3] = {&results.UW, &results.VW, &results.WT};
    const char *names[4] = {"u", "v", "w", "T"};
    const char *pairNames[3] = {"uw", "vw", "wT"};

    // Far below the printed resolution; dividing by n - 1 instead of n, or summing the raw
    // powers of T near 20 C, would exceed it.
    const long double Tolerance = 1e-9L;
    long double largest = 0;
    std::string largestWhat;
    auto compare = [&](long double value, long double expected, const std::string &what) {
        const long double difference = std::fabs(value - expected);
        if (difference > largest) {
            largest = difference;
            largestWhat = what;
        }
        EXPECT_LE(difference, Tolerance * std::fmax(1.0L, std::fabs(expected))) << what;
    };
    for (int k = 0; k < 4; ++k) {
        ASSERT_TRUE(reference[k].HasSpread);
        compare(computed[k]->Average, reference[k].Average, std::string(names[k]) + " Average");
        compare(computed[k]->StdDev, reference[k].StdDev, std::string(names[k]) + " StdDev");
        compare(computed[k]->Skewness, reference[k].Skewness, std::string(names[k]) + " Skewness");
        compare(computed[k]->Kurtosis, reference[k].Kurtosis, std::string(names[k]) + " Kurtosis");
    }
    for (int k = 0; k < 3; ++k)
        compare(computedPairs[k]->Value, covariance[k], std::string(pairNames[k]) + " Covariance");
    EXPECT_NEAR(results.BlockAvg, static_cast<double>(digitSum / blocked), 1e-5);
    EXPECT_NEAR(results.BlockPctAvg, static_cast<double>(percentSum / blocked), 1e-4);

    std::cout << "Largest difference from the two-pass reference: " << static_cast<double>(largest) << " ("
              << largestWhat << ")" << std::endl;
    ::testing::Test::RecordProperty("LargestDifference", Format("%.3e", static_cast<double>(largest)));

    // The stream is realistic: the moments are of the expected kind.
    EXPECT_GT(reference[2].Skewness, 0.1L);
    EXPECT_LT(covariance[0], 0.0L);
    EXPECT_GT(covariance[2], 0.0L);

    // --- Printed figures -------------------------------------------------------------------------
    std::ifstream in(root.Posix("c/Stats/check.txt"), std::ios::binary);
    std::string line, last;
    int lineCount = 0;
    while (std::getline(in, line)) {
        last = line;
        ++lineCount;
    }
    ASSERT_EQ(lineCount, 4);
    std::istringstream fieldsIn(last);
    std::vector<std::string> fields;
    for (std::string field; fieldsIn >> field;)
        fields.push_back(field);
    ASSERT_EQ(fields.size(), 41u);
    EXPECT_EQ(fields[0], "00:00:000-30:00:000");
    EXPECT_EQ(fields[1], std::to_string(blackout));
    EXPECT_EQ(fields[2], std::to_string(off));
    EXPECT_EQ(fields[3], std::to_string(onGood));
    EXPECT_EQ(fields[4], std::to_string(onBad));
    EXPECT_EQ(fields[5], std::to_string(blocked));
    ExpectPrinted(fields[6], "%8.1f", digitSum / blocked, 1e-5L, "BlockAvg");
    ExpectPrinted(fields[7], "%12.f", percentSum / blocked, 1e-4L, "BlockPctAvg");
    const Series *series[4] = {&u, &v, &w, &t};
    for (int k = 0; k < 4; ++k) {
        const int at = 8 + 6 * k;
        const std::string name = names[k];
        EXPECT_EQ(fields[at], std::to_string(series[k]->Values.size())) << name;
        EXPECT_EQ(fields[at + 1], std::to_string(series[k]->Bad)) << name;
        ExpectPrinted(fields[at + 2], "%7.2f", reference[k].Average, Tolerance, name + " Average");
        ExpectPrinted(fields[at + 3], "%6.2f", reference[k].StdDev, Tolerance, name + " StdDev");
        ExpectPrinted(fields[at + 4], "%8.2f", reference[k].Skewness, Tolerance, name + " Skewness");
        ExpectPrinted(fields[at + 5], "%8.2f", reference[k].Kurtosis, Tolerance, name + " Kurtosis");
    }
    const size_t pairCounts[3] = {uw.size(), vw.size(), wt.size()};
    for (int k = 0; k < 3; ++k) {
        const int at = 32 + 3 * k;
        EXPECT_EQ(fields[at], std::to_string(pairCounts[k])) << pairNames[k];
        EXPECT_EQ(fields[at + 1], std::to_string(pairBad[k])) << pairNames[k];
        ExpectPrinted(fields[at + 2], "%10.2f", covariance[k], Tolerance,
                      std::string(pairNames[k]) + " Covariance");
    }
}

// A calm night: T near 20 C fluctuating by 0.02 C. The fourth powers of T are near 1.6e5
// while the fourth central moment is near 5e-7, so power sums of the raw values would lose
// the kurtosis to rounding (by several hundredths at this spread); the moments must still
// agree with the two-pass ones.
TEST(StatisticsIndependentCheck, SmallFluctuationAboutALargeMean) {
    TestRoot root;
    EventLog log("Statistics check log", root.Drive("C:\\Data").c_str());
    SonicMetek3ClassAMPSerial engine("Metek", "666", log);
    Random random(7);
    Series t;
    SampleRecord &record = engine.Buffers[0].Records[0];
    char *const ownText = record.Text;
    engine.CurrentBuffer = 0;
    engine.CurrentSample = 0;
    for (int i = 0; i < 36000; ++i) {
        char text[96];
        snprintf(text, sizeof text, "M0A1B2C3D1000,1.00,2.00,0.10,%.3f\r\n", 20.0 + 0.02 * random.Normal());
        record.Text = text;
        record.Length = static_cast<LONG>(strlen(text));
        engine.AccumulateStatistics();
        t.Values.push_back(std::strtod(strrchr(text, ',') + 1, nullptr));
    }
    record.Text = ownText;
    record.Length = 0;
    engine.ComputeStatistics();

    const ReferenceMoments reference = TwoPass(t);
    EXPECT_NEAR(engine.TStats.Average, static_cast<double>(reference.Average), 1e-12);
    EXPECT_NEAR(engine.TStats.StdDev, static_cast<double>(reference.StdDev), 1e-12);
    EXPECT_NEAR(engine.TStats.Skewness, static_cast<double>(reference.Skewness), 1e-6);
    EXPECT_NEAR(engine.TStats.Kurtosis, static_cast<double>(reference.Kurtosis), 1e-6);
    // Constant u, v and w have no spread at all.
    EXPECT_EQ(engine.UStats.StdDev, 0.0);
    EXPECT_EQ(engine.WT.Value, 0.0);
}

}  // namespace
