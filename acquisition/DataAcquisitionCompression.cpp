#include "acquisition/DataAcquisition.h"
// PENDING: placeholder until its owner lands the real implementation.
void DataAcquisition::CompressDataFiles() {}
unsigned __stdcall DataAcquisition::CompressionThread(void *) { return 0; }
void DataAcquisition::CompressMatchingFiles(const char *, const char *) {}
