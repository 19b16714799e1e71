#include "instrument/SonicMetek3ClassAMPSerial.h"
// PENDING: placeholder until its owner lands the real implementation.
bool IsMissingValue(double) { return false; }
SonicMetek3ClassAMPSerial::SonicMetek3ClassAMPSerial(const char *, const char *, EventLog &eventLog)
    : SerialEventIO(eventLog) {}
void SonicMetek3ClassAMPSerial::Acquire() {}
DWORD SonicMetek3ClassAMPSerial::InitializeInstrument(SerialComm *) { return 0; }
void SonicMetek3ClassAMPSerial::ParseRecord(const SampleRecord &, bool) {}
