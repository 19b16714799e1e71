#include "acquisition/DataAcquisition.h"
// PENDING: placeholder until its owner lands the real implementation.
void DataAcquisition::BuildStatsFilePath() {}
void DataAcquisition::BeginStatistics() {}
void DataAcquisition::ConfigureStatistics() {}
void DataAcquisition::AccumulateStatistics() {}
void DataAcquisition::WriteStatistics() {}
void DataAcquisition::RunStatisticsTiming() {}
void DataAcquisition::ArchiveStatistics() {}
FILETIME DataAcquisition::NextPeriodBoundary(DWORD, FILETIME base) { return base; }
