#include "instrument/SonicMetek3ClassAMPSerial.h"
// PENDING: placeholder until its owner lands the real implementation.
void SonicMetek3ClassAMPSerial::ProcessRawSamples() {}
