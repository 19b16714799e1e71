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
            snprintf(message_, sizeof message_, EventCode::ClockStateUnknown.Formats[0], name_);
            eventLog_.Write(EventCode::ClockStateUnknown, message_);
        }
        return;
    }
    if (!state.Synchronised) {
        errorHigh_ = false;  // the error figures of an undisciplined clock mean nothing
        if (first || (before.Known && before.Synchronised)) {
            snprintf(message_, sizeof message_,
                     first ? EventCode::ClockUnsynchronisedAtStart.Formats[0]
                           : EventCode::ClockSynchronisationLost.Formats[0],
                     name_);
            eventLog_.Write(
                first ? EventCode::ClockUnsynchronisedAtStart : EventCode::ClockSynchronisationLost,
                message_);
        }
        return;
    }
    if (!first && !before.Synchronised) {
        snprintf(message_, sizeof message_, EventCode::ClockSynchronisedAgain.Formats[0], name_,
                 state.EstimatedErrorUs / 1000.0, state.MaximumErrorUs / 1000.0);
        eventLog_.Write(EventCode::ClockSynchronisedAgain, message_);
    }
    if (!errorHigh_ && state.EstimatedErrorUs > ErrorThresholdUs) {
        errorHigh_ = true;
        snprintf(message_, sizeof message_, EventCode::ClockErrorHigh.Formats[0], name_,
                 state.EstimatedErrorUs / 1000.0, static_cast<unsigned long>(ErrorThresholdUs / 1000),
                 state.MaximumErrorUs / 1000.0);
        eventLog_.Write(EventCode::ClockErrorHigh, message_);
    } else if (errorHigh_ && state.EstimatedErrorUs <= ErrorThresholdUs) {
        errorHigh_ = false;
        snprintf(message_, sizeof message_, EventCode::ClockErrorBack.Formats[0], name_,
                 state.EstimatedErrorUs / 1000.0, static_cast<unsigned long>(ErrorThresholdUs / 1000));
        eventLog_.Write(EventCode::ClockErrorBack, message_);
    }
}
