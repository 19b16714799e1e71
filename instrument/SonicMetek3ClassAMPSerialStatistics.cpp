#include "instrument/SonicMetek3ClassAMPSerial.h"
// PENDING: placeholder until its owner lands the real implementation.
void SonicMetek3ClassAMPSerial::BeginStatistics() {}
void SonicMetek3ClassAMPSerial::AccumulateStatistics() {}
void SonicMetek3ClassAMPSerial::WriteStatistics() {}
void SonicMetek3ClassAMPSerial::ResetStatistics() {}
