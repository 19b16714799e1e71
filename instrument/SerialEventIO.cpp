#include "instrument/SerialEventIO.h"
// PENDING: placeholder until its owner lands the real implementation.
SerialEventIO::SerialEventIO(EventLog &eventLog) : SerialAcquisition(eventLog) {}
