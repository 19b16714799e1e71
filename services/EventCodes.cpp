#include "services/EventCodes.h"

#include <cstring>

namespace {

#define KESTRUNE_EVENT_CODE_POINTER(code, name, severity, failure, ...) &EventCode::name,
const EventCodeDefinition *const Table[] = {KESTRUNE_EVENT_CODES(KESTRUNE_EVENT_CODE_POINTER)};
#undef KESTRUNE_EVENT_CODE_POINTER

}  // namespace

EventCodeTable AllEventCodes() {
    return {Table, sizeof Table / sizeof Table[0]};
}

const EventCodeDefinition *FindEventCode(LONG code) {
    // The table is in numeric order.
    std::size_t low = 0, high = sizeof Table / sizeof Table[0];
    while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        if (Table[middle]->Code == code)
            return Table[middle];
        if (Table[middle]->Code < code)
            low = middle + 1;
        else
            high = middle;
    }
    return nullptr;
}

EventSeverity EventSeverityOf(LONG code, const char *message) {
    const EventCodeDefinition *entry = FindEventCode(code);
    if (entry == nullptr)
        return EventSeverity::Warning;
    if (entry->FailureText != nullptr &&
        (message == nullptr || strstr(message, entry->FailureText) == nullptr))
        return EventSeverity::Information;
    return entry->Severity;
}

const char *SeverityName(EventSeverity severity) {
    switch (severity) {
        case EventSeverity::Warning:
            return "warning";
        case EventSeverity::Error:
            return "error";
        default:
            return "information";
    }
}
