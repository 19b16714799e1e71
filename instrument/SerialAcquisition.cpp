#include "instrument/SerialAcquisition.h"
// PENDING: placeholder until its owner lands the real implementation.
SerialAcquisition::SerialAcquisition(EventLog &eventLog) : DataAcquisition(eventLog) {}
