// kestrune-clocksync: publishes the UTC time of the last clock synchronisation in the shared block the
// acquisition engine reads before it archives each buffer. Samples stamped from that time to
// the blackout period after it are kept out of the archive.
//
//   clocksync now                              the current UTC time
//   clocksync set "YYYY-MM-DD hh:mm:ss[.mmm]"  a given UTC time
//   clocksync show                             print what the block holds
//
// Times are printed in ISO 8601 UTC ("2026-12-09T03:04:47.965Z").
//
// The block is the 16-byte named mapping "ClockSyncFileMap" holding one SYSTEMTIME at offset
// 0, guarded by the named mutex "ClockSyncMutex". Call "clocksync now" right after each step
// of the system clock (for example from the time daemon's hook).
#include <cstring>

#include "platform/win32.h"
#include "services/StationFormats.h"

namespace {

const char *const MutexName = ClockSyncMutexName;
const char *const MapName = ClockSyncMapName;
constexpr DWORD BlockSize = ClockSyncBlockSize;

const char UsageText[] =
    "usage: kestrune-clocksync now\n"
    "       kestrune-clocksync set \"YYYY-MM-DD hh:mm:ss[.mmm]\"   (UTC)\n"
    "       kestrune-clocksync show\n"
    "Publishes the UTC time of the last step of the system clock to the running acquisition,\n"
    "whose archive then leaves out the samples stamped within its blackout period after it.\n"
    "  now    the clock was synchronised just now\n"
    "  set    the clock was synchronised at that UTC time\n"
    "  show   prints the time published last\n";

int Usage() {
    fputs(UsageText, stderr);
    return 2;
}

// Reads "YYYY-MM-DD hh:mm:ss" with optional ".mmm"; the result is a valid calendar time with
// its day of the week filled in.
bool ParseTime(const char *text, SYSTEMTIME *time) {
    unsigned year, month, day, hour, minute, second, millisecond = 0;
    int used = 0;
    if (sscanf(text, "%4u-%2u-%2u %2u:%2u:%2u%n", &year, &month, &day, &hour, &minute, &second, &used) != 6)
        return false;
    const char *rest = text + used;
    if (*rest == '.') {
        int more = 0;
        if (sscanf(rest, ".%3u%n", &millisecond, &more) != 1 || more != 4)
            return false;
        rest += more;
    }
    if (*rest != '\0')
        return false;
    const SYSTEMTIME parsed =
        Moment(static_cast<int>(year), static_cast<int>(month), static_cast<int>(day), static_cast<int>(hour),
               static_cast<int>(minute), static_cast<int>(second), static_cast<int>(millisecond));
    FILETIME check;
    if (!SystemTimeToFileTime(&parsed, &check) || !FileTimeToSystemTime(&check, time))
        return false;
    return true;
}

void PrintTime(const SYSTEMTIME &time) {
    if (time.wYear == 0 && time.wMonth == 0 && time.wDay == 0 && time.wHour == 0 && time.wMinute == 0 &&
        time.wSecond == 0 && time.wMilliseconds == 0) {
        printf("no synchronisation time published\n");
        return;
    }
    printf("%s\n", IsoTime(time).Text);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2)
        return Usage();
    if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
        fputs(UsageText, stdout);
        return 0;
    }
    const char *command = argv[1];
    SYSTEMTIME time = {};
    bool write = true;
    if (strcmp(command, "now") == 0 && argc == 2) {
        GetSystemTime(&time);
    } else if (strcmp(command, "set") == 0 && argc == 3) {
        if (!ParseTime(argv[2], &time)) {
            fprintf(
                stderr,
                "kestrune-clocksync: not a valid UTC time: \"%s\" (expected \"YYYY-MM-DD hh:mm:ss.mmm\")\n",
                argv[2]);
            return 2;
        }
    } else if (strcmp(command, "show") == 0 && argc == 2) {
        write = false;
    } else {
        return Usage();
    }

    HANDLE mutex = CreateMutexA(nullptr, FALSE, MutexName);
    if (!mutex) {
        fprintf(stderr, "kestrune-clocksync: cannot create or open the mutex %s (error %lu)\n", MutexName,
                static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    DWORD wait = WaitForSingleObject(mutex, INFINITE);
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
        fprintf(stderr, "kestrune-clocksync: cannot acquire the mutex %s (error %lu)\n", MutexName,
                static_cast<unsigned long>(GetLastError()));
        CloseHandle(mutex);
        return 1;
    }

    int status = 0;
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, BlockSize, MapName);
    void *view = mapping ? MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, BlockSize) : nullptr;
    if (!view) {
        fprintf(stderr, "kestrune-clocksync: cannot open the shared block %s (error %lu)\n", MapName,
                static_cast<unsigned long>(GetLastError()));
        status = 1;
    } else if (write) {
        memcpy(view, &time, sizeof time);
    } else {
        memcpy(&time, view, sizeof time);
    }
    ReleaseMutex(mutex);

    if (status == 0) {
        if (write)
            printf("published ");
        PrintTime(time);
    }
    if (view)
        UnmapViewOfFile(view);
    if (mapping)
        CloseHandle(mapping);
    CloseHandle(mutex);
    return status;
}
