// Service-manager notifications through libsystemd's sd_notify, and event-log entries to the
// journal through stderr; errno values of a failed send are mapped to Win32 codes like
// everywhere in the layer.
#include "platform/posix/service.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/posix/errors.h"
#include "platform/posix/handles_internal.h"

DWORD KestruneNotifyServiceManager(const char *state) {
    if (state == nullptr)
        return ERROR_INVALID_PARAMETER;
    const int result = sd_notify(0, state);
    if (result >= 0)
        return 0;
    kestrune::SetLastErrorFromErrno(-result);
    return GetLastError();
}

DWORD KestruneServiceWatchdogMilliseconds() {
    uint64_t microseconds = 0;
    if (sd_watchdog_enabled(0, &microseconds) <= 0)
        return 0;
    const uint64_t milliseconds = microseconds / 1000;
    return milliseconds == 0 ? 1
                             : (milliseconds > 0xFFFFFFF0u ? 0xFFFFFFF0u : static_cast<DWORD>(milliseconds));
}

namespace {

// Whether stderr is the stream that JOURNAL_STREAM ("device:inode") names, as systemd sets it
// for a service whose output goes to the journal; read on every call. Output redirected
// elsewhere (a file, a terminal) keeps its plain lines.
bool StderrIsJournal() {
    const char *stream = std::getenv("JOURNAL_STREAM");
    if (stream == nullptr || stream[0] == '\0')
        return false;
    unsigned long long device = 0, inode = 0;
    if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2)
        return false;
    struct stat info;
    return fstat(STDERR_FILENO, &info) == 0 && static_cast<unsigned long long>(info.st_dev) == device &&
           static_cast<unsigned long long>(info.st_ino) == inode;
}

}  // namespace

DWORD KestruneReportEvent(WORD type, DWORD code, const char *message) {
    if (message == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (!StderrIsJournal())
        return 0;
    const char *priority = "<6>";
    if (type == EVENTLOG_ERROR_TYPE)
        priority = "<3>";
    else if (type == EVENTLOG_WARNING_TYPE)
        priority = "<4>";
    char line[4096];
    int length =
        std::snprintf(line, sizeof line - 1, "%s%lu %s", priority, static_cast<unsigned long>(code), message);
    if (length < 0)
        return ERROR_INVALID_PARAMETER;
    if (length > static_cast<int>(sizeof line - 2))
        length = static_cast<int>(sizeof line - 2);  // a longer message is cut: one line still
    for (int i = 0; i < length; ++i)
        if (line[i] == '\r' || line[i] == '\n')
            line[i] = ' ';
    line[length++] = '\n';
    // The journal's stream is a socket: a send that would wait is given up at once.
    ssize_t sent = send(STDERR_FILENO, line, static_cast<size_t>(length), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent < 0 && errno == ENOTSOCK)
        sent = write(STDERR_FILENO, line, static_cast<size_t>(length));
    if (sent < 0) {
        kestrune::SetLastErrorFromErrno(errno);
        return GetLastError();
    }
    if (sent < length) {
        // The stream took part of the line: end it, so the next line starts on its own.
        send(STDERR_FILENO, "\n", 1, MSG_DONTWAIT | MSG_NOSIGNAL);
        return ERROR_MORE_DATA;
    }
    return 0;
}
