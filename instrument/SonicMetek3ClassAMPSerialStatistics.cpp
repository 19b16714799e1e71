// The uSonic-3 statistics of one period: heating and sensor-path counts, population moments
// of u, v, w and T from power sums gathered in one pass, the covariances uw, vw and wT, and
// the line each period appends to the statistics file. The archive thread alone calls these.
#include <string>

#include "instrument/SonicMetek3ClassAMPSerial.h"
#include "services/DateAndDirectory.h"
#include "services/StationFormats.h"
#include "services/WholeAppend.h"

namespace {

// A value that enters no sum: missing, or not a finite number (a garbled field such as
// "1e999" or "nan" would otherwise turn every figure of the period into inf or nan).
bool IsAbsent(double x) {
    return IsMissingValue(x) || !std::isfinite(x);
}

// A result that overflowed is as good as one that could not be computed.
double Finite(double result) {
    return std::isfinite(result) ? result : StatsMissingValue;
}

void AddValue(SonicMetek3ClassAMPSerial::Moments &moments, double x) {
    if (IsAbsent(x)) {
        ++moments.BadSamp;
        return;
    }
    if (moments.GoodSamp == 0)
        moments.Origin = x;
    ++moments.GoodSamp;
    const double d = x - moments.Origin;
    const double d2 = d * d;
    const double d3 = d2 * d;
    moments.Sum1 += d;
    moments.Sum2 += d2;
    moments.Sum3 += d3;
    moments.Sum4 += d3 * d;
}

// Called after AddValue for both values of the record, so both origins are set.
void AddPair(SonicMetek3ClassAMPSerial::Covariance &pair, double a, double b,
             const SonicMetek3ClassAMPSerial::Moments &first,
             const SonicMetek3ClassAMPSerial::Moments &second) {
    if (IsAbsent(a) || IsAbsent(b)) {
        ++pair.BadSamp;
        return;
    }
    ++pair.GoodSamp;
    const double da = a - first.Origin;
    const double db = b - second.Origin;
    pair.SumProduct += da * db;
    pair.SumFirst += da;
    pair.SumSecond += db;
}

// Population moments (dividing by n) from the power sums; skewness and excess kurtosis
// need a spread, and a result that cannot be computed keeps StatsMissingValue. The central
// moments do not depend on the origin of the sums; the average adds it back.
void ComputeMoments(SonicMetek3ClassAMPSerial::Moments &moments) {
    moments.Average = StatsMissingValue;
    moments.StdDev = StatsMissingValue;
    moments.Skewness = StatsMissingValue;
    moments.Kurtosis = StatsMissingValue;
    if (moments.GoodSamp == 0)
        return;
    const double n = moments.GoodSamp;
    const double m1 = moments.Sum1 / n;
    const double m2 = moments.Sum2 / n;
    const double m3 = moments.Sum3 / n;
    const double m4 = moments.Sum4 / n;
    moments.Average = moments.Origin + m1;
    const double variance = m2 - m1 * m1;
    if (variance >= 0.0) {
        const double deviation = std::pow(variance, 0.5);
        moments.StdDev = deviation;
        if (deviation > 0.0) {
            const double m1Squared = m1 * m1;
            const double deviation2 = deviation * deviation;
            moments.Skewness = (m3 - 3.0 * m2 * m1 + 2.0 * m1Squared * m1) / (deviation2 * deviation);
            moments.Kurtosis = (m4 - 4.0 * m3 * m1 + 6.0 * m2 * m1Squared - 3.0 * m1Squared * m1Squared) /
                                   (deviation2 * deviation2) -
                               3.0;
        }
    }
    // Every result, on every path, is either finite or missing.
    moments.Average = Finite(moments.Average);
    moments.StdDev = Finite(moments.StdDev);
    moments.Skewness = Finite(moments.Skewness);
    moments.Kurtosis = Finite(moments.Kurtosis);
}

// The covariance about each component's own average over all its present values:
// mean(ab) - A B over the n records of the pair. With a = a' + a0 and b = b' + b0 (the
// deviations from the origins) and A' = A - a0, B' = B - b0 this is
// mean(a'b') - A'B' + a0 (mean(b') - B') + b0 (mean(a') - A'), in which the corrections
// vanish when the pair holds every present value of both components.
void ComputeCovariance(SonicMetek3ClassAMPSerial::Covariance &pair,
                       const SonicMetek3ClassAMPSerial::Moments &first,
                       const SonicMetek3ClassAMPSerial::Moments &second) {
    pair.Value = StatsMissingValue;
    if (pair.GoodSamp == 0)
        return;
    const double n = pair.GoodSamp;
    const double firstMean = first.Sum1 / first.GoodSamp;
    const double secondMean = second.Sum1 / second.GoodSamp;
    pair.Value = pair.SumProduct / n - firstMean * secondMean +
                 first.Origin * (pair.SumSecond / n - secondMean) +
                 second.Origin * (pair.SumFirst / n - firstMean);
    pair.Value = Finite(pair.Value);
}

// Whether the file is missing or empty, probed without disturbing other readers or writers.
bool IsNewFile(const char *path) {
    HANDLE probe = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe == INVALID_HANDLE_VALUE)
        return true;
    DWORD high = 0;
    const DWORD low = GetFileSize(probe, &high);
    const bool empty = low == 0 && high == 0;
    CloseHandle(probe);
    return empty;
}

// Appends the text of a bounded format to the period's text.
template <typename... Args>
void AppendFormatted(std::string &text, const char *format, Args... args) {
    char piece[320];
    const int length = snprintf(piece, sizeof piece, format, args...);
    if (length > 0)
        text.append(piece, static_cast<size_t>(length) < sizeof piece ? static_cast<size_t>(length)
                                                                      : sizeof piece - 1);
}

// A figure with two decimals in its column: one that is not finite, or whose text would be
// wider than the column, prints as StatsMissingValue, so every period line keeps its width.
void PrintFigure(std::string &text, double value, int width) {
    char figure[64];
    const int length = std::isfinite(value) ? snprintf(figure, sizeof figure, "%*.2f", width, value) : -1;
    if (length < 0 || length > width)
        snprintf(figure, sizeof figure, "%*.2f", width, StatsMissingValue);
    AppendFormatted(text, " %s", figure);
}

void PrintMoments(std::string &text, const SonicMetek3ClassAMPSerial::Moments &m) {
    AppendFormatted(text, "   %8d %7d", static_cast<int>(m.GoodSamp), m.BadSamp);
    PrintFigure(text, m.Average, 7);
    PrintFigure(text, m.StdDev, 6);
    PrintFigure(text, m.Skewness, 8);
    PrintFigure(text, m.Kurtosis, 8);
}

void PrintCovariance(std::string &text, const SonicMetek3ClassAMPSerial::Covariance &c) {
    AppendFormatted(text, "   %8d %7d", static_cast<int>(c.GoodSamp), c.BadSamp);
    PrintFigure(text, c.Value, 10);
}

}  // namespace

void SonicMetek3ClassAMPSerial::ResetStatistics() {
    NumSamp = 0;
    OffSamp = 0;
    OnGoodSamp = 0;
    OnBadSamp = 0;
    BlockSamp = 0;
    BlockDigitSum = 0.0f;
    BlockPctSum = 0.0f;
    BlockAvg = 0.0f;
    BlockPctAvg = 0.0f;
    UStats = Moments{};
    VStats = Moments{};
    WStats = Moments{};
    TStats = Moments{};
    UW = Covariance{};
    VW = Covariance{};
    WT = Covariance{};
}

void SonicMetek3ClassAMPSerial::BeginStatistics() {
    ResetStatistics();
    DataAcquisition::BeginStatistics();
}

void SonicMetek3ClassAMPSerial::AccumulateStatistics() {
    const SampleRecord &record = Buffers[CurrentBuffer].Records[CurrentSample];
    if (record.Status == SampleBlackout) {
        ++NumSamp;
        return;
    }
    if (record.Status != SampleGood) {
        ++UStats.BadSamp;
        ++VStats.BadSamp;
        ++WStats.BadSamp;
        ++TStats.BadSamp;
        ++UW.BadSamp;
        ++VW.BadSamp;
        ++WT.BadSamp;
        return;
    }

    ParseRecord(record, false);

    int length = 0;
    while (length < StatusFieldUsed && StatusField[length] != '\0')
        ++length;

    // Position 10: heating state.
    HeatingState = length >= 10 ? StatusField[9] : 0;
    if (HeatingState == '0')
        ++OffSamp;
    else if (HeatingState == '1')
        ++OnGoodSamp;
    else if (HeatingState == '2')
        ++OnBadSamp;

    // Position 11: block digit, 1 to 9; anything else counts as 0.
    BlockDigit = 0;
    if (length >= 11 && StatusField[10] >= '1' && StatusField[10] <= '9') {
        BlockDigit = StatusField[10] - '0';
        BlockDigitSum += static_cast<float>(BlockDigit);
    }

    // Positions 12 to the end: block percentage. Only 1 to 100 enters the average, but any
    // positive value marks the record as blocked.
    BlockPercentage = 0;
    if (length >= 12) {
        char digits[StatusFieldUsed + 1] = {};
        memcpy(digits, StatusField + 11, static_cast<size_t>(length - 11));
        BlockPercentage = strtol(digits, nullptr, 10);
        if (BlockPercentage >= 1 && BlockPercentage <= 100)
            BlockPctSum += static_cast<float>(BlockPercentage);
    }
    if (BlockDigit > 0 || BlockPercentage > 0)
        ++BlockSamp;

    AddValue(UStats, U);
    AddValue(VStats, V);
    AddValue(WStats, W);
    AddValue(TStats, T);
    AddPair(UW, U, W, UStats, WStats);
    AddPair(VW, V, W, VStats, WStats);
    AddPair(WT, W, T, WStats, TStats);
}

void SonicMetek3ClassAMPSerial::ComputeStatistics() {
    if (BlockSamp > 0) {
        BlockAvg = BlockDigitSum / static_cast<float>(BlockSamp);
        BlockPctAvg = BlockPctSum / static_cast<float>(BlockSamp);
    }
    ComputeMoments(UStats);
    ComputeMoments(VStats);
    ComputeMoments(WStats);
    ComputeMoments(TStats);
    ComputeCovariance(UW, UStats, WStats);
    ComputeCovariance(VW, VStats, WStats);
    ComputeCovariance(WT, WStats, TStats);
}

void SonicMetek3ClassAMPSerial::WriteStatistics() {
    ComputeStatistics();

    // The whole text of the period (with the header when the file is new or empty) is made
    // first and appended in one write, with CR LF written explicitly, so the bytes on disk are
    // the same on every platform.
    const bool newFile = IsNewFile(StatsFilePath);
    std::string text;
    try {
        text.reserve(4096);
        if (newFile) {
            text += StatsFileHeader(InstrumentName, SerialNumber, PeriodStartTime);
        }
        AppendFormatted(text, "%02d:%02d:%03d-", PeriodStartTime.wMinute, PeriodStartTime.wSecond,
                        PeriodStartTime.wMilliseconds);
        AppendFormatted(text, "%02d:%02d:%03d ", PeriodEndTime.wMinute, PeriodEndTime.wSecond,
                        PeriodEndTime.wMilliseconds);
        AppendFormatted(text, "%10d    %8d %10d %9d   %9d %8.1f %12.f", static_cast<int>(NumSamp), OffSamp,
                        OnGoodSamp, OnBadSamp, static_cast<int>(BlockSamp), static_cast<double>(BlockAvg),
                        static_cast<double>(BlockPctAvg));
        PrintMoments(text, UStats);
        PrintMoments(text, VStats);
        PrintMoments(text, WStats);
        PrintMoments(text, TStats);
        PrintCovariance(text, UW);
        PrintCovariance(text, VW);
        PrintCovariance(text, WT);
        text += "\r\n";
    } catch (...) {
        text.clear();
    }

    bool remade = false;
    HANDLE file =
        text.empty() ? INVALID_HANDLE_VALUE : OpenForAppend(StatsFilePath, StatsArchiveDirectory, &remade);
    if (file == INVALID_HANDLE_VALUE) {
        char message[MessageSize];
        snprintf(message, sizeof message, EventCode::StatisticsFileFailed.Formats[0], Name ? Name : "",
                 StatsFilePath);
        EventLogRef.Write(EventCode::StatisticsFileFailed, message);
        ResetStatistics();
        return;
    }
    const bool created = GetLastError() != ERROR_ALREADY_EXISTS;
    if (remade)
        LogDirectoryRemade(StatsFilePath);
    const DWORD error = AppendWhole(file, StatsFilePath, created, text.data(), text.size());
    if (error != 0) {
        // The period's line is lost; the file keeps its whole lines.
        char message[MessageSize];
        snprintf(message, sizeof message, EventCode::StatisticsFileFailed.Formats[1], Name ? Name : "",
                 StatsFilePath, static_cast<unsigned long>(error), PeriodStartTime.wMinute,
                 PeriodStartTime.wSecond, PeriodStartTime.wMilliseconds, PeriodEndTime.wMinute,
                 PeriodEndTime.wSecond, PeriodEndTime.wMilliseconds);
        EventLogRef.Write(EventCode::StatisticsFileFailed, message);
    }

    ResetStatistics();
}
