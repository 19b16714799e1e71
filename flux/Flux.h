// The turbulent fluxes of one averaging period from the sonic's (stamp, u, v, w, T) records:
// despiking, double rotation, the moments after rotation, u*, tau, H, L, the steady-state and
// integral-turbulence tests and the 0-1-2 flags, and the period's row of the flux file.
//
// Pure numerics: the C++ standard library only, no files and no clock, so the program (on its
// archive thread) and the offline tool compute every figure with the same code.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace flux {

// 100-ns units since 1 January 1601, UTC (a FILETIME as one number).
using Stamp = long long;
constexpr Stamp UnitsPerSecond = 10000000LL;
constexpr Stamp UnitsPerMillisecond = 10000LL;
constexpr Stamp UnitsPerDay = 86400LL * UnitsPerSecond;

// One sample. A missing value is NaN.
struct Record {
    Stamp Time = 0;
    double U = 0, V = 0, W = 0, T = 0;
};

struct Settings {
    unsigned Period = 1800;  // seconds; 0: no fluxes
    double MeasurementHeight = 2.0;
    double DisplacementHeight = 0.0;
    double Latitude = 50.0;
    double AirPressure = 1013.25;  // hPa
    double NorthOffset = 0.0;      // azimuth of the sonic's v axis, degrees
    double DespikeThreshold = 7.0;
};

// Fewer kept samples than this leave every figure of the period empty.
constexpr int MinimumSamples = 10;

// One period's row. A figure that cannot be computed is NaN (an empty field); a flag that
// cannot be given is -1.
struct Result {
    Stamp Start = 0, End = 0;
    long Samples = 0, Excluded = 0;
    long SpikesU = 0, SpikesV = 0, SpikesW = 0, SpikesT = 0;
    double UUnrot, VUnrot, WUnrot, TMean, WindSpeed, WindDir, Yaw, Pitch, URot;
    double SigmaU, SigmaV, SigmaW, SigmaT, CovUW, CovVW, CovWT;
    double UStar, Tau, H, L, Zeta, RnUW, RnWT, ItcW;
    int FlagTau = -1, FlagH = -1;
    Result();
};

// Median of the values (an even count gives the mean of the two middle ones); NaN when empty.
// The values are reordered.
double Median(std::vector<double> &values);
// The class of a test figure (percent): 1 for at most 15, ... 9 above 1000.
int TestClass(double percent);
// The 0-1-2 flag from the classes of the steady-state and the ITC test figures (-1 when either
// figure is NaN).
int QualityFlag(double steadyState, double itc);

// The period [start, start + Period) from its records (any order; those outside the period are
// left out by the caller). The figures do not depend on the records' order.
Result ComputePeriod(Stamp start, std::vector<Record> records, const Settings &settings);

// The flux file's header row and one period's row, each ended by CR LF.
std::string CsvHeader();
std::string CsvRow(const Result &result);
// "2026-12-09T14:30:00Z" for a stamp (to the second, truncated).
std::string IsoSecond(Stamp stamp);

// Start of the period on the grid from UTC midnight that holds the stamp.
Stamp PeriodStartOf(Stamp stamp, unsigned period);

// The periods of a stream of records in stamp order. A record whose stamp reaches the end of
// the running period closes it first; a record stamped before the running period (a clock
// stepped back) is left out and counted in Dropped.
class PeriodStream {
public:
    explicit PeriodStream(const Settings &settings) : settings_(settings) {}
    // Adds a record; results of the periods it closed are appended to closed.
    void Add(const Record &record, std::vector<Result> &closed);
    // The running period with what it has, if it holds any record; the stream is then empty.
    bool Flush(Result &result);
    bool Running() const { return running_; }
    Stamp RunningStart() const { return start_; }
    unsigned long long Dropped = 0;

private:
    Settings settings_;
    bool running_ = false;
    Stamp start_ = 0;
    std::vector<Record> records_;
};

// Reads a value text of the raw data line ("1.500", "-0.250"); "-99." and any other value whose
// integer part is -99, and text that is not a plain decimal, give NaN.
double ReadRawValue(const char *text, size_t length);

}  // namespace flux
