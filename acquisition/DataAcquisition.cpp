#include "acquisition/DataAcquisition.h"
// PENDING: placeholder until its owner lands the real implementation.
LONG DataAcquisition::LiveInstances = 0;
DWORD DataAcquisition::LogicalProcessorCount = 0;
DWORD DataAcquisition::NextProcessorIndex = 4;
DataAcquisition::DataAcquisition(EventLog &eventLog) : EventLogRef(eventLog) {}
DataAcquisition::~DataAcquisition() {}
DWORD DataAcquisition::Start() { return 1; }
void DataAcquisition::Stop() {}
unsigned __stdcall DataAcquisition::EngineThread(void *) { return 0; }
void DataAcquisition::CheckProcessPriority() {}
void DataAcquisition::CountLogicalProcessors() {}
