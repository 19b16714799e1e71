#include "flux/Flux.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <tuple>
#include <utility>

namespace flux {

namespace {

constexpr double Nan = std::numeric_limits<double>::quiet_NaN();
constexpr double Pi = 3.14159265358979323846;
constexpr double Degrees = 180.0 / Pi;
constexpr double GasConstantDryAir = 287.05;  // J kg-1 K-1
constexpr double ZeroCelsius = 273.15;        // K
constexpr double HeatCapacity = 1004.67;      // J kg-1 K-1, dry air at constant pressure
constexpr double VonKarman = 0.4;
constexpr double Gravity = 9.81;            // m s-2
constexpr double EarthRotation = 7.292e-5;  // rad s-1
constexpr int SubPeriods = 6;
constexpr long SubPeriodMinimum = 3;

// a / b, NaN where b is 0 or either is not a number.
double Divide(double a, double b) {
    if (b == 0.0 || std::isnan(a) || std::isnan(b))
        return Nan;
    return a / b;
}

double Mean(const std::vector<double> &x) {
    double sum = 0.0;
    for (double v : x)
        sum += v;
    return sum / static_cast<double>(x.size());
}

// Sample covariance (divisor n - 1) of x and y over [from, to), about their own means.
double Covariance(const std::vector<double> &x, const std::vector<double> &y, size_t from, size_t to) {
    const size_t n = to - from;
    if (n < 2)
        return Nan;
    double sx = 0.0, sy = 0.0;
    for (size_t i = from; i < to; ++i) {
        sx += x[i];
        sy += y[i];
    }
    const double mx = sx / static_cast<double>(n), my = sy / static_cast<double>(n);
    double sum = 0.0;
    for (size_t i = from; i < to; ++i)
        sum += (x[i] - mx) * (y[i] - my);
    return sum / static_cast<double>(n - 1);
}

// |mean of the sub-period covariances - whole-period covariance| / |covariance| in percent.
double SteadyState(const std::vector<double> &x, const std::vector<double> &y,
                   const std::vector<size_t> &bounds, double whole) {
    double sum = 0.0;
    int used = 0;
    for (int k = 0; k < SubPeriods; ++k) {
        if (bounds[k + 1] - bounds[k] < static_cast<size_t>(SubPeriodMinimum))
            continue;
        sum += Covariance(x, y, bounds[k], bounds[k + 1]);
        ++used;
    }
    if (used == 0)
        return Nan;
    return Divide(std::fabs(sum / used - whole), std::fabs(whole)) * 100.0;
}

bool Complete(const Record &r) {
    return !std::isnan(r.U) && !std::isnan(r.V) && !std::isnan(r.W) && !std::isnan(r.T);
}

// Flags the records whose value is a spike: |x - median| > threshold * MAD / 0.6745, none
// when MAD is 0. Returns how many.
long MarkSpikes(const std::vector<Record> &records, double Record::*member, double threshold,
                std::vector<char> &spike) {
    const size_t n = records.size();
    if (n == 0)
        return 0;
    std::vector<double> values(n);
    for (size_t i = 0; i < n; ++i)
        values[i] = records[i].*member;
    std::vector<double> work(values);
    const double median = Median(work);
    for (size_t i = 0; i < n; ++i)
        work[i] = std::fabs(values[i] - median);
    const double mad = Median(work);
    if (!(mad > 0.0))
        return 0;
    const double limit = threshold * mad / 0.6745;
    long count = 0;
    for (size_t i = 0; i < n; ++i) {
        if (std::fabs(values[i] - median) > limit) {
            spike[i] = 1;
            ++count;
        }
    }
    return count;
}

// The period's four series, one value per kept record.
struct Series {
    std::vector<double> U, V, W, T;
};

// Records with a value missing are left out and counted.
void PrepareRecords(std::vector<Record> &records, Result &r) {
    const size_t all = records.size();
    records.erase(
        std::remove_if(records.begin(), records.end(), [](const Record &x) { return !Complete(x); }),
        records.end());
    r.Excluded = static_cast<long>(all - records.size());
    // One order whatever order the records came in, so the sums below come out the same
    // online and offline, bit for bit.
    std::sort(records.begin(), records.end(), [](const Record &a, const Record &b) {
        return std::tie(a.Time, a.U, a.V, a.W, a.T) < std::tie(b.Time, b.U, b.V, b.W, b.T);
    });
}

// Despiking: one pass over the four series; a spike in any drops the record. Returns the
// records kept, with their count and the spikes' in r.
std::vector<Record> Despike(const std::vector<Record> &records, const Settings &settings, Result &r) {
    std::vector<char> spike(records.size(), 0);
    r.SpikesU = MarkSpikes(records, &Record::U, settings.DespikeThreshold, spike);
    r.SpikesV = MarkSpikes(records, &Record::V, settings.DespikeThreshold, spike);
    r.SpikesW = MarkSpikes(records, &Record::W, settings.DespikeThreshold, spike);
    r.SpikesT = MarkSpikes(records, &Record::T, settings.DespikeThreshold, spike);
    std::vector<Record> kept;
    kept.reserve(records.size());
    for (size_t i = 0; i < records.size(); ++i)
        if (!spike[i])
            kept.push_back(records[i]);
    r.Samples = static_cast<long>(kept.size());
    return kept;
}

Series SeriesOf(const std::vector<Record> &kept) {
    const size_t n = kept.size();
    Series s;
    s.U.resize(n);
    s.V.resize(n);
    s.W.resize(n);
    s.T.resize(n);
    for (size_t i = 0; i < n; ++i) {
        s.U[i] = kept[i].U;
        s.V[i] = kept[i].V;
        s.W[i] = kept[i].W;
        s.T[i] = kept[i].T;
    }
    return s;
}

// The unrotated means, the temperature's, and the mean wind's speed and direction.
void TakeMeans(const Series &raw, const Settings &settings, Result &r) {
    r.UUnrot = Mean(raw.U);
    r.VUnrot = Mean(raw.V);
    r.WUnrot = Mean(raw.W);
    r.TMean = Mean(raw.T);
    r.WindSpeed = std::hypot(r.UUnrot, r.VUnrot);
    double direction = std::fmod(std::atan2(-r.UUnrot, -r.VUnrot) * Degrees + settings.NorthOffset, 360.0);
    if (direction < 0.0)
        direction += 360.0;
    if (direction >= 360.0)
        direction -= 360.0;
    r.WindDir = direction;
}

// Double rotation: the yaw turns the mean wind into u, the pitch takes out the mean w.
// Returns the streamline series (T as it was); the angles and the rotated mean u go to r.
Series Rotate(const Series &raw, Result &r) {
    const size_t n = raw.U.size();
    const std::vector<double> &u = raw.U, &v = raw.V, &w = raw.W;
    const double alpha = std::atan2(r.VUnrot, r.UUnrot);
    const double ca = std::cos(alpha), sa = std::sin(alpha);
    std::vector<double> u1(n), v2(n);
    for (size_t i = 0; i < n; ++i) {
        u1[i] = u[i] * ca + v[i] * sa;
        v2[i] = -u[i] * sa + v[i] * ca;
    }
    const double beta = std::atan2(r.WUnrot, Mean(u1));
    const double cb = std::cos(beta), sb = std::sin(beta);
    std::vector<double> u2(n), w2(n);
    for (size_t i = 0; i < n; ++i) {
        u2[i] = u1[i] * cb + w[i] * sb;
        w2[i] = -u1[i] * sb + w[i] * cb;
    }
    r.Yaw = alpha * Degrees;
    r.Pitch = beta * Degrees;
    r.URot = Mean(u2);
    Series rotated;
    rotated.U = std::move(u2);
    rotated.V = std::move(v2);
    rotated.W = std::move(w2);
    rotated.T = raw.T;
    return rotated;
}

void TakeCovariances(const Series &s, Result &r) {
    const size_t n = s.U.size();
    r.SigmaU = std::sqrt(Covariance(s.U, s.U, 0, n));
    r.SigmaV = std::sqrt(Covariance(s.V, s.V, 0, n));
    r.SigmaW = std::sqrt(Covariance(s.W, s.W, 0, n));
    r.SigmaT = std::sqrt(Covariance(s.T, s.T, 0, n));
    r.CovUW = Covariance(s.U, s.W, 0, n);
    r.CovVW = Covariance(s.V, s.W, 0, n);
    r.CovWT = Covariance(s.W, s.T, 0, n);
}

// The friction velocity, the momentum and heat fluxes, the Obukhov length and the stability.
void TakeFluxes(const Settings &settings, Result &r) {
    r.UStar = std::sqrt(std::sqrt(r.CovUW * r.CovUW + r.CovVW * r.CovVW));
    const double kelvin = r.TMean + ZeroCelsius;
    const double density = Divide(settings.AirPressure * 100.0, GasConstantDryAir * kelvin);
    r.Tau = density * r.UStar * r.UStar;
    r.H = density * HeatCapacity * r.CovWT;
    r.L = Divide(-r.UStar * r.UStar * r.UStar * kelvin, VonKarman * Gravity * r.CovWT);
    r.Zeta = Divide(settings.MeasurementHeight - settings.DisplacementHeight, r.L);
}

// Steady state: six sub-periods by stamp. The records are in stamp order, so each
// sub-period is one run of them, from bounds[k] to bounds[k + 1].
std::vector<size_t> SubPeriodBounds(const std::vector<Record> &kept, Stamp start, Stamp length) {
    const size_t n = kept.size();
    std::vector<size_t> bounds(SubPeriods + 1, n);
    bounds[0] = 0;
    size_t i = 0;
    for (int k = 1; k < SubPeriods; ++k) {
        while (i < n && (kept[i].Time - start) * SubPeriods < length * k)
            ++i;
        bounds[k] = i;
    }
    return bounds;
}

// The sub-periods are rotated with the whole period's angles.
void TakeSteadyState(const Series &rotated, const std::vector<size_t> &bounds, Result &r) {
    r.RnUW = SteadyState(rotated.U, rotated.W, bounds, r.CovUW);
    r.RnWT = SteadyState(rotated.W, rotated.T, bounds, r.CovWT);
}

// Integral turbulence characteristic of w. The Coriolis parameter's magnitude is taken, so
// the southern hemisphere has a model too; at the equator it has none (the log of zero).
void TakeItc(const Settings &settings, Result &r) {
    const double measured = Divide(r.SigmaW, r.UStar);
    double model = Nan;
    if (r.Zeta < -0.2) {
        model = 1.3 * std::cbrt(1.0 - 2.0 * r.Zeta);
    } else {
        const double coriolis = std::fabs(2.0 * EarthRotation * std::sin(settings.Latitude / Degrees));
        const double argument = Divide(coriolis * 1.0, r.UStar);
        if (argument > 0.0)
            model = 0.21 * std::log(argument) + 3.1;
    }
    r.ItcW = model > 0.0 ? std::fabs(model - measured) / model * 100.0 : Nan;
}

void CivilFromDays(long long days, int &year, int &month, int &day) {
    // Days since 1970-01-01 to the proleptic Gregorian calendar.
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long long doe = days - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

void AppendFigure(std::string &row, double value) {
    row += ',';
    if (!std::isfinite(value))
        return;
    char text[40];
    const int length = snprintf(text, sizeof text, "%.9g", value);
    if (length > 0 && static_cast<size_t>(length) < sizeof text)
        row.append(text, static_cast<size_t>(length));
}

void AppendCount(std::string &row, long long value) {
    char text[32];
    const int length = snprintf(text, sizeof text, ",%lld", value);
    if (length > 0 && static_cast<size_t>(length) < sizeof text)
        row.append(text, static_cast<size_t>(length));
}

}  // namespace

Result::Result()
    : UUnrot(Nan),
      VUnrot(Nan),
      WUnrot(Nan),
      TMean(Nan),
      WindSpeed(Nan),
      WindDir(Nan),
      Yaw(Nan),
      Pitch(Nan),
      URot(Nan),
      SigmaU(Nan),
      SigmaV(Nan),
      SigmaW(Nan),
      SigmaT(Nan),
      CovUW(Nan),
      CovVW(Nan),
      CovWT(Nan),
      UStar(Nan),
      Tau(Nan),
      H(Nan),
      L(Nan),
      Zeta(Nan),
      RnUW(Nan),
      RnWT(Nan),
      ItcW(Nan) {}

double Median(std::vector<double> &values) {
    const size_t n = values.size();
    if (n == 0)
        return Nan;
    const size_t middle = n / 2;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle), values.end());
    const double upper = values[middle];
    if (n % 2 == 1)
        return upper;
    const double lower =
        *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle));
    return (lower + upper) / 2.0;
}

int TestClass(double percent) {
    static const double limits[8] = {15, 30, 50, 75, 100, 250, 500, 1000};
    for (int i = 0; i < 8; ++i)
        if (percent <= limits[i])
            return i + 1;
    return 9;
}

int QualityFlag(double steadyState, double itc) {
    if (std::isnan(steadyState) || std::isnan(itc))
        return -1;
    const int ss = TestClass(steadyState), it = TestClass(itc);
    if (ss <= 2 && it <= 4)
        return 0;
    if (ss <= 5 && it <= 5)
        return 1;
    return 2;
}

Result ComputePeriod(Stamp start, std::vector<Record> records, const Settings &settings) {
    Result r;
    const Stamp length = static_cast<Stamp>(settings.Period) * UnitsPerSecond;
    r.Start = start;
    r.End = start + length;

    PrepareRecords(records, r);
    const std::vector<Record> kept = Despike(records, settings, r);
    if (r.Samples < MinimumSamples)
        return r;

    const Series raw = SeriesOf(kept);
    TakeMeans(raw, settings, r);
    const Series rotated = Rotate(raw, r);
    TakeCovariances(rotated, r);
    TakeFluxes(settings, r);
    TakeSteadyState(rotated, SubPeriodBounds(kept, start, length), r);
    TakeItc(settings, r);

    r.FlagTau = QualityFlag(r.RnUW, r.ItcW);
    r.FlagH = QualityFlag(r.RnWT, r.ItcW);
    return r;
}

std::string IsoSecond(Stamp stamp) {
    const long long seconds = stamp / UnitsPerSecond - 11644473600LL;  // since 1970
    long long days = seconds / 86400, rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    int year, month, day;
    CivilFromDays(days, year, month, day);
    char text[40];
    snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", year, month, day,
             static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
    return text;
}

std::string CsvHeader() {
    return "start,end,samples,excluded,spikes_u,spikes_v,spikes_w,spikes_T,u_unrot,v_unrot,w_unrot,T_mean,"
           "wind_speed,wind_dir,yaw,pitch,u_rot,sigma_u,sigma_v,sigma_w,sigma_T,cov_uw,cov_vw,cov_wT,ustar,"
           "tau,H,L,zeta,rn_uw,rn_wT,itc_w,flag_tau,flag_H\r\n";
}

std::string CsvRow(const Result &r) {
    std::string row = IsoSecond(r.Start) + "," + IsoSecond(r.End);
    AppendCount(row, r.Samples);
    AppendCount(row, r.Excluded);
    AppendCount(row, r.SpikesU);
    AppendCount(row, r.SpikesV);
    AppendCount(row, r.SpikesW);
    AppendCount(row, r.SpikesT);
    const double figures[] = {r.UUnrot, r.VUnrot, r.WUnrot, r.TMean,  r.WindSpeed, r.WindDir,
                              r.Yaw,    r.Pitch,  r.URot,   r.SigmaU, r.SigmaV,    r.SigmaW,
                              r.SigmaT, r.CovUW,  r.CovVW,  r.CovWT,  r.UStar,     r.Tau,
                              r.H,      r.L,      r.Zeta,   r.RnUW,   r.RnWT,      r.ItcW};
    for (double figure : figures)
        AppendFigure(row, figure);
    for (int flag : {r.FlagTau, r.FlagH}) {
        if (flag < 0)
            row += ',';
        else
            AppendCount(row, flag);
    }
    row += "\r\n";
    return row;
}

Stamp PeriodStartOf(Stamp stamp, unsigned period) {
    const Stamp length = static_cast<Stamp>(period) * UnitsPerSecond;
    Stamp start = stamp / length * length;
    if (start > stamp)
        start -= length;
    return start;
}

void PeriodStream::Add(const Record &record, std::vector<Result> &closed) {
    const Stamp start = PeriodStartOf(record.Time, settings_.Period);
    if (!running_) {
        running_ = true;
        start_ = start;
    } else if (start > start_) {
        closed.push_back(ComputePeriod(start_, std::move(records_), settings_));
        records_.clear();
        start_ = start;
    } else if (start < start_) {
        ++Dropped;
        return;
    }
    records_.push_back(record);
}

bool PeriodStream::Flush(Result &result) {
    if (!running_)
        return false;
    result = ComputePeriod(start_, std::move(records_), settings_);
    records_.clear();
    running_ = false;
    return true;
}

double ReadRawValue(const char *text, size_t length) {
    double value = 0.0;
    const auto parsed = std::from_chars(text, text + length, value, std::chars_format::fixed);
    if (parsed.ec != std::errc() || parsed.ptr != text + length || !std::isfinite(value))
        return Nan;
    if (std::trunc(value) == -99.0)
        return Nan;
    return value;
}

}  // namespace flux
