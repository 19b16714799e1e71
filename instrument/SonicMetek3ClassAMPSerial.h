// The Metek uSonic-3 CLASS-A MP sonic anemometer on a serial port: acquisition start, the
// line parser, the per-period statistics, the statistics file and the raw data line.
// Sources: SonicMetek3ClassAMPSerial.cpp (construction, start, parser),
// SonicMetek3ClassAMPSerialStatistics.cpp (statistics and their file),
// SonicMetek3ClassAMPSerialRaw.cpp (raw data line).
#pragma once

#include "instrument/SerialEventIO.h"

// A value whose integer part, truncated toward zero, is -99.
constexpr double MissingValue = -99.0;
// A statistic that could not be computed: the single-precision -99.99 widened.
constexpr double StatsMissingValue = static_cast<double>(-99.99f);

bool IsMissingValue(double value);

// Reads an instrument field as a decimal number, the same way on every platform: leading
// white space and one sign are skipped, then the longest prefix of the form
// digits [. digits] [e|E [sign] digits] (at least one mantissa digit) is converted, correctly
// rounded. Text that starts with no such number reads as 0.0 ("0x10" is 0, "e5" is 0);
// "nan", "inf" and a number too large for a double read as MissingValue; a number too small
// reads as 0.0.
double ReadInstrumentNumber(const char *text);

class SonicMetek3ClassAMPSerial : public SerialEventIO {
public:
    static constexpr int StatusFieldSize = 100;
    static constexpr int StatusFieldUsed = 14;
    static constexpr int ValueTextSize = 100;

    SonicMetek3ClassAMPSerial(const char *instrumentName, const char *serialNumber, EventLog &eventLog);

    // Opens and configures the port; runs the reading loop; when the port is missing or
    // lost, tries it again every ReopenIntervalMs until it is back or a stop is requested.
    void Acquire() override;
    void BeginStatistics() override;
    void ProcessRawSamples() override;
    void AccumulateStatistics() override;
    void WriteStatistics() override;
    DWORD InitializeInstrument(SerialComm *port) override;

    void ResetStatistics();
    // Computes the period's results from the accumulators (WriteStatistics does it first).
    void ComputeStatistics();

    // Splits the record's text into the StatusField and the values. With allValues false
    // only u, v, w and T are set (the statistics); with true all eight (the raw line).
    void ParseRecord(const SampleRecord &record, bool allValues);

    // Identity.
    char ModelDescription[TextSize] = {};
    char HeatingModeNames[4][TextSize] = {};
    int HeatingMode = 0;

    // Line-parsing state (archive thread only).
    char *FieldPointer = nullptr;
    DWORD FieldIndex = 0;
    char StatusField[StatusFieldSize] = {};
    double U = MissingValue, V = MissingValue, W = MissingValue, T = MissingValue;
    double A1 = MissingValue, A2 = MissingValue, A3 = MissingValue, A4 = MissingValue;
    DWORD ReadingCounter = 0;  // the instrument's reading-loop counter

    // Per-line results of the StatusField.
    char HeatingState = 0;
    int BlockDigit = 0;
    long BlockPercentage = 0;

    // Period counters and sums.
    DWORD NumSamp = 0;
    int OffSamp = 0;
    int OnGoodSamp = 0;
    int OnBadSamp = 0;
    DWORD BlockSamp = 0;
    float BlockDigitSum = 0.0f;
    float BlockPctSum = 0.0f;
    float BlockAvg = 0.0f;
    float BlockPctAvg = 0.0f;

    // The power sums are taken of each value's deviation from the period's first present
    // value (Origin): the same one-pass moments, without losing the spread of a small
    // fluctuation about a large mean (T near 20 C) to the rounding of its powers.
    struct Moments {
        DWORD GoodSamp = 0;
        int BadSamp = 0;
        double Sum1 = 0, Sum2 = 0, Sum3 = 0, Sum4 = 0;
        double Average = 0, StdDev = 0, Skewness = 0, Kurtosis = 0;
        double Origin = 0;
    };
    struct Covariance {
        DWORD GoodSamp = 0;
        int BadSamp = 0;
        double SumProduct = 0;
        double Value = 0;
        // Sums of the two deviations over the records of the pair.
        double SumFirst = 0, SumSecond = 0;
    };
    Moments UStats, VStats, WStats, TStats;
    Covariance UW, VW, WT;

    // Rewrite texts of the raw line.
    char RawStatusText[StatusFieldSize] = {};
    char ValueTexts[8][ValueTextSize] = {};

private:
    // The port opened and configured, or null with *error set;
    // logs the failure (5103) when asked to.
    SerialComm *OpenPort(bool logFailure, DWORD *error);
    void LogResumption(FILETIME interruptedAt);
    // Phases of Acquire: the start on an opened port, and the set-up of the reading loop.
    void StartOnPort(SerialComm *port, bool started, bool interrupted, FILETIME interruptedAt);
    HANDLE PrepareReading(SerialComm *port);
};
