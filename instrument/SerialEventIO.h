// Event-driven reading: the port raises an event when the line terminator arrives, and the
// engine thread sleeps until then.
#pragma once

#include "instrument/SerialAcquisition.h"

class SerialEventIO : public SerialAcquisition {
public:
    explicit SerialEventIO(EventLog &eventLog);
};
