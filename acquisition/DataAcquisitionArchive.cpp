#include "acquisition/DataAcquisition.h"
// PENDING: placeholder until its owner lands the real implementation.
int DataAcquisition::StartArchiveEngine(WORD, DWORD, DWORD, const char *, const char *, const char *,
                                        const char *, DWORD, DWORD, DWORD, DWORD, DWORD) { return 1; }
unsigned __stdcall DataAcquisition::ArchiveThread(void *) { return 0; }
void DataAcquisition::RunArchive() {}
void DataAcquisition::BeginArchive(ArchiveThreadState &) {}
bool DataAcquisition::ArchivePass(ArchiveThreadState &) { return false; }
void DataAcquisition::ArchiveRawSamples(ArchiveThreadState &) {}
void DataAcquisition::WriteRawFile(const char *, SYSTEMTIME) {}
void DataAcquisition::ProcessRawSamples() {}
