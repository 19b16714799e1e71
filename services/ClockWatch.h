// Watches whether the system clock is synchronised by the operating system's time service,
// and how well, and logs each change once per episode. It reads the state through the
// platform layer (KestruneGetClockState), a call that never blocks, so any thread may check;
// the program checks from its controlling thread, never from the engine thread.
#pragma once

#include <string>

#include "platform/win32.h"
#include "services/EventLog.h"

class ClockWatch {
public:
    // Event-log codes.
    static constexpr LONG StartUnsynchronisedCode =
        EventCode::ClockUnsynchronisedAtStart.Code;  // not synchronised at the start
    static constexpr LONG LostCode = EventCode::ClockSynchronisationLost.Code;  // synchronisation lost
    static constexpr LONG BackCode = EventCode::ClockSynchronisedAgain.Code;    // synchronised again
    static constexpr LONG ErrorHighCode =
        EventCode::ClockErrorHigh.Code;  // estimated error above the threshold
    static constexpr LONG ErrorBackCode = EventCode::ClockErrorBack.Code;   // estimated error within it again
    static constexpr LONG UnknownCode = EventCode::ClockStateUnknown.Code;  // the system does not tell
    // An estimated error above 10 ms is logged: a tenth of a 10 Hz sample interval, and
    // well above what a time service on a network achieves (well below 1 ms).
    static constexpr DWORD ErrorThresholdUs = 10000;
    // How often the program checks.
    static constexpr DWORD CheckIntervalMs = 10000;

    using StateReader = BOOL (*)(KESTRUNE_CLOCK_STATE *state);

    // `name` begins each message ("%s: "). Null reader: KestruneGetClockState.
    ClockWatch(EventLog &eventLog, const char *name, StateReader reader = nullptr);

    // Reads the state and logs what changed since the last check. The first check logs a
    // start with an unsynchronised clock (or a clock whose state is unknown), and an estimated
    // error already above the threshold.
    void Check();

    // "synchronised (estimated error 0.3 ms, maximum 16 ms)", "not synchronised", or
    // "unknown (the system does not tell)"; `since`, when given, follows "not synchronised".
    static std::string Describe(const KESTRUNE_CLOCK_STATE &state, const char *since = nullptr);

    KESTRUNE_CLOCK_STATE Last = {};  // the state of the last check

private:
    EventLog &eventLog_;
    StateReader reader_;
    char name_[64] = {};
    bool checked_ = false;
    bool errorHigh_ = false;  // in an episode of an estimated error above the threshold
    char message_[1000] = {};
};
