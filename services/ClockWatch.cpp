#include "services/ClockWatch.h"

#include <cstdio>

ClockWatch::ClockWatch(EventLog &eventLog, const char *name, StateReader reader)
    : eventLog_(eventLog), reader_(reader != nullptr ? reader : KestruneGetClockState) {
    snprintf(name_, sizeof name_, "%s", name != nullptr ? name : "");
}

std::string ClockWatch::Describe(const KESTRUNE_CLOCK_STATE &state, const char *since) {
    char text[200];
    if (!state.Known)
        snprintf(text, sizeof text, "unknown (the system does not tell)");
    else if (state.Synchronised)
        snprintf(text, sizeof text, "synchronised (estimated error %.1f ms, maximum %.0f ms)",
                 state.EstimatedErrorUs / 1000.0, state.MaximumErrorUs / 1000.0);
    else if (since != nullptr && since[0] != '\0')
        snprintf(text, sizeof text, "not synchronised since %.100s", since);
    else
        snprintf(text, sizeof text, "not synchronised");
    return text;
}

void ClockWatch::Check() {
    KESTRUNE_CLOCK_STATE state = {};
    if (!reader_(&state))
        state = KESTRUNE_CLOCK_STATE();
    const bool first = !checked_;
    const KESTRUNE_CLOCK_STATE before = Last;
    checked_ = true;
    Last = state;

    if (!state.Known) {
        if (first) {
            snprintf(message_, sizeof message_,
                     "%s: The system does not tell whether its clock is synchronised by a time service; "
                     "check the time service by hand.",
                     name_);
            eventLog_.Write(UnknownCode, message_);
        }
        return;
    }
    if (!state.Synchronised) {
        errorHigh_ = false;  // the error figures of an undisciplined clock mean nothing
        if (first || (before.Known && before.Synchronised)) {
            snprintf(message_, sizeof message_,
                     first ? "%s: The system clock is not synchronised by a time service at the start; the "
                             "time stamps follow an uncorrected clock."
                           : "%s: The system clock is no longer synchronised by a time service; the time "
                             "stamps follow an uncorrected clock.",
                     name_);
            eventLog_.Write(first ? StartUnsynchronisedCode : LostCode, message_);
        }
        return;
    }
    if (!first && !before.Synchronised) {
        snprintf(message_, sizeof message_,
                 "%s: The system clock is synchronised again (estimated error %.1f ms, maximum %.0f ms).",
                 name_, state.EstimatedErrorUs / 1000.0, state.MaximumErrorUs / 1000.0);
        eventLog_.Write(BackCode, message_);
    }
    if (!errorHigh_ && state.EstimatedErrorUs > ErrorThresholdUs) {
        errorHigh_ = true;
        snprintf(message_, sizeof message_,
                 "%s: The system clock's estimated error is %.1f ms, above %lu ms (maximum %.0f ms).", name_,
                 state.EstimatedErrorUs / 1000.0, static_cast<unsigned long>(ErrorThresholdUs / 1000),
                 state.MaximumErrorUs / 1000.0);
        eventLog_.Write(ErrorHighCode, message_);
    } else if (errorHigh_ && state.EstimatedErrorUs <= ErrorThresholdUs) {
        errorHigh_ = false;
        snprintf(message_, sizeof message_,
                 "%s: The system clock's estimated error is back to %.1f ms, within %lu ms.", name_,
                 state.EstimatedErrorUs / 1000.0, static_cast<unsigned long>(ErrorThresholdUs / 1000));
        eventLog_.Write(ErrorBackCode, message_);
    }
}
