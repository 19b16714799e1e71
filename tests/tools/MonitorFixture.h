// A short day of the program's files for the monitor's request tests and its fuzz target:
// two hours of raw samples, three statistics periods, the day's event log (start, archive
// passes, a blackout, a loss, cut lines, a stop) and the day before's, each with a garbage or
// half-written line. Beside it, "secret" files under data files' names whose lines parse as
// data and carry a marker, and links out of the data directory under names that are not data
// files: no request may ever bring the marker back.
#pragma once

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "tools/stationfiles/StationFiles.h"

namespace monitorfixture {

constexpr const char *Marker = "SECRET-9b41c07e";

// The fixture's day and a time on it the page can be asked at (14:03, after the last entry).
inline station::Millis Day() {
    return station::MillisFromCivil(2026, 12, 8);
}
inline station::Millis Now() {
    return station::MillisFromCivil(2026, 12, 8, 14, 3);
}
constexpr int Periods = 3;
constexpr int FluxPeriods = 2;

// The flux file's header row (without its line end).
inline std::string FluxHeader() {
    return "start,end,samples,excluded,spikes_u,spikes_v,spikes_w,spikes_T,u_unrot,v_unrot,w_unrot,T_mean,"
           "wind_speed,wind_dir,yaw,pitch,u_rot,sigma_u,sigma_v,sigma_w,sigma_T,cov_uw,cov_vw,cov_wT,ustar,"
           "tau,"
           "H,L,zeta,rn_uw,rn_wT,itc_w,flag_tau,flag_H";
}

// The day's flux file: a whole period with every figure, one whose H, L and flag_H could not
// be computed, then a torn line.
inline std::string FluxText() {
    return FluxHeader() +
           "\r\n2026-12-08T13:00:00Z,2026-12-08T13:30:00Z,35990,10,3,1,0,2,3.2104567,-1.0498765,0.04012345,"
           "20.512345,3.3777812,72.345678,-18.123456,0.6789012,3.3781234,0.61234567,0.51234567,0.21234567,"
           "0.12345678,-0.081234567,0.0012345678,0.051234567,0.28501234,0.098765432,61.234567,-35.123456,"
           "-0.056818182,8.1234567,12.345678,9.8765432,0,1\r\n"
           "2026-12-08T13:30:00Z,2026-12-08T14:00:00Z,36000,0,0,0,0,0,3.3104567,-1.1498765,0.03012345,"
           "20.612345,3.5045123,70.845678,-19.123456,0.4789012,3.5051234,0.62234567,0.52234567,0.22234567,"
           "0.13345678,-0.091234567,0.0022345678,,0.30234567,0.11123456,,,,7.1234567,,10.123456,1,\r\n"
           "2026-12-08T14:00:00Z,2026-12-08T14:30:00Z,120";
}

inline void Write(const std::filesystem::path &path, const std::string &text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// One statistics period line of the program's layout, from minute to minute + 1.
inline std::string StatsLine(int minute, double u) {
    char line[512];
    std::snprintf(
        line, sizeof line,
        "%02d:00:000-%02d:00:000 %10d    %8d %10d %9d   %9d %8.1f %12.f   %8d %7d %7.2f %6.2f %8.2f "
        "%8.2f   %8d %7d %7.2f %6.2f %8.2f %8.2f   %8d %7d %7.2f %6.2f %8.2f %8.2f   %8d %7d %7.2f "
        "%6.2f %8.2f %8.2f   %8d %7d %10.2f   %8d %7d %10.2f   %8d %7d %10.2f\r\n",
        minute, (minute + 1) % 60, 0, 10, 1180, 10, 120, 4.7, 47.0, 1200, 0, u, 0.3, -0.1, 0.2, 1200, 0, -1.1,
        0.3, 0.1, 0.1, 1200, 0, 0.05, 0.2, 0.0, 0.1, 1200, 0, 20.5, 0.3, 0.1, 0.1, 1200, 0, -0.05, 1200, 0,
        0.01, 1200, 0, 0.02);
    return line;
}

// A raw file's header and a sample every 7 s for the given minutes, then a garbage line and
// a half-written one.
inline std::string RawText(int minutes) {
    std::string text = "12/08/2026 14:00 Metek (SN: 666)\r\n";
    for (int i = 0; i < minutes * 60; i += 7) {
        char line[160];
        std::snprintf(line, sizeof line,
                      "%02d%02d%03d 000000%03d0000 3.210 -1.050 0.040 20.510 12.000 35.000 68.000 -99.\r\n",
                      i / 60, i % 60, (i * 50) % 1000, i % 1000);
        text += line;
    }
    return text + "#garbage\x01\xff 12:00 -- 5e\r\n0300000 00000";
}

// Lines that parse as raw and log lines, carrying the marker where text goes.
inline std::string SecretText() {
    const std::string marker = Marker;
    return marker + " header\r\n0000000 " + marker +
           " 9.000 9.000 9.000 9.000 9.000 9.000 9.000 9.000\r\n14:00:00:000  5212  Metek1: " + marker +
           "\r\n14:00:10:000  5301  Metek1: 7 " + marker + "\r\n";
}

// Fills data (created) with the short day, puts the secrets beside it and in outside, and
// links to them from inside.
inline void WriteShortDay(const std::filesystem::path &data, const std::filesystem::path &outside) {
    namespace fs = std::filesystem;
    fs::create_directories(data);
    Write(data / "lab02634213_raw.txt", RawText(2));
    Write(data / "lab02634214_raw.txt", RawText(3));
    std::string stats =
        "Metek (SN: 666) Time (YYJJJHH): 2634214\r\n                    --Blackout--   u-component "
        "wt (m/s)(C)\r\nMM:SS:mmm MM:SS:mmm    NumSamp\r\n";
    for (int minute = 0; minute < Periods; ++minute)
        stats += StatsLine(minute, 3.2 + minute * 0.1);
    Write(data / "lab02634214_stats.txt", stats + "#garbage\r\n");
    Write(data / "26342.log",
          "12/08/26 QORL Data Acquisition Service EventLog\r\n\r\nHH:MM:SS:MMM  Code  Message\r\n"
          "14:00:00:000  5212  Metek1: Starting archive engine.\r\n"
          "14:00:10:000  5017  Metek1: Archiving 200 of 200 raw data samples. Excluded samples: Bad = 1  "
          "Blackout = 2  Edited = 0\r\n"
          "14:01:00:000  5006  Metek1: Excluding 40 samples from the archive during the blackout period "
          "12/08/26 14:00:58:000 to 12/08/26 14:01:00:000.\r\n"
          "14:01:30:000  5301  Metek1: 3 lines lost.\r\n"
          "14:01:40:000  5302  Metek1: 1 over-long lines cut.\r\n"
          "14:01:50:000  5109  Metek1: Reading paused: 40 lines came in one read after a gap of 30.000 s, "
          "faster than the serial line carries them; their stamps tell when they were read, not when they "
          "were sent.\r\n"
          "14:02:00:000  5017  Metek1: Archiving 200 of 200 raw data samples.\r\n"
          "14:02:10:000  5102  Metek1: Stopping.\r\n14:02:2");
    Write(data / "lab026342_flux.csv", FluxText());
    Write(data / "26341.log", "23:59:50:000  5017  Metek1: Archiving 200 of 200 raw data samples.\r\n");
    // A folder with a data file's name.
    fs::create_directories(data / "lab02634212_raw.txt");

    for (const fs::path &dir : {data.parent_path(), outside}) {
        fs::create_directories(dir);
        for (const char *name : {"secret.txt", "26342.log", "lab02634214_raw.txt", "lab02634214_stats.txt",
                                 "lab026342_flux.csv"})
            Write(dir / name, SecretText());
    }
    fs::create_symlink(data.parent_path() / "secret.txt", data / "secret-link");
    fs::create_directory_symlink("..", data / "up");
    fs::create_directory_symlink(outside, data / "outside");
}

}  // namespace monitorfixture
