// Service-manager notifications through libsystemd's sd_notify; errno values of a failed
// send are mapped to Win32 codes like everywhere in the layer.
#include "platform/posix/service.h"

#include <systemd/sd-daemon.h>

#include <cerrno>

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
