#include "acquisition/DataAcquisition.h"
// PENDING: placeholder until its owner lands the real implementation.
void DataAcquisition::OpenClockSyncBlock() {}
void DataAcquisition::ScreenSamples() {}
