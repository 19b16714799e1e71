// The flux periods of the archive thread.
//
// Each pass, after its raw text is written, the records the instrument handed over (those
// that went into the raw file, as the raw file gives them back) go into the running period on
// the grid from UTC midnight. A record whose stamp reaches the end of the period closes it:
// its row is computed and appended to the day's flux file ("lab0<YYJJJ>_flux.csv" in the
// statistics archive directory, named by the period's start), with the header when the file
// is new or empty. At the stop the running period is written with what it has.
//
// A row is appended in one write; a write that fails part-way cuts the file back to its size
// before it, so the file holds whole rows only. The first failed row of an episode logs 6710;
// the next row written after it logs 6711 with the number of rows lost meanwhile.
#include <new>

#include "acquisition/DataAcquisition.h"
#include "services/FileNameTemplate.h"
#include "services/WholeAppend.h"
#include "services/Win32Util.h"

namespace {

// Appends the row at the end of the flux file (opened here, the header first when it is
// empty), whole or not at all (see AppendWhole). Returns 0 or the error.
DWORD AppendFluxRow(const char *path, const std::string &header, const std::string &row) {
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error ? error : ERROR_OPEN_FAILED;
    }
    const bool created = GetLastError() != ERROR_ALREADY_EXISTS;
    return AppendWhole(file, path, created, row.data(), row.size(), header.data(), header.size());
}

}  // namespace

void DataAcquisition::ArchiveFlux(bool atStop) {
    if (FluxSettings.Period == 0) {
        FluxRecords.clear();
        return;
    }
    char message[MessageSize];
    std::vector<flux::Result> closed;
    try {
        if (!FluxStream)
            FluxStream.reset(new flux::PeriodStream(FluxSettings));
        for (const flux::Record &record : FluxRecords)
            FluxStream->Add(record, closed);
        FluxRecords.clear();
        if (atStop) {
            flux::Result last;
            if (FluxStream->Flush(last))
                closed.push_back(last);
        }
    } catch (const std::bad_alloc &) {
        // The running period cannot hold more: it is left incomplete, and the loss is said once.
        FluxRecords.clear();
        FluxRecordsIncomplete = true;
    }
    if (FluxRecordsIncomplete) {
        FluxRecordsIncomplete = false;
        if (!FluxMemoryEpisode) {
            FluxMemoryEpisode = true;
            snprintf(message, sizeof message, EventCode::FluxMemoryShort.Formats[0], Name);
            EventLogRef.Write(EventCode::FluxMemoryShort, message);
        }
    } else if (!closed.empty()) {
        FluxMemoryEpisode = false;
    }
    for (const flux::Result &result : closed)
        WriteFluxRow(result);
}

void DataAcquisition::WriteFluxRow(const flux::Result &result) {
    char message[MessageSize];
    char name[TextSize];
    char path[TextSize];
    SYSTEMTIME start = {};
    const FILETIME stamp = UnitsToFileTime(static_cast<ULONGLONG>(result.Start));
    FileTimeToSystemTime(&stamp, &start);
    snprintf(name, sizeof name, "%s", FluxFileTemplate);
    ExpandFileNameTemplate(name, start);
    const int length = StatsArchiveDirectory[0] != '\0'
                           ? snprintf(path, sizeof path, "%s\\%s", StatsArchiveDirectory, name)
                           : snprintf(path, sizeof path, "%s", name);
    DWORD error = ERROR_FILENAME_EXCED_RANGE;
    std::string period = "?";
    try {
        period = flux::IsoSecond(result.Start);
        if (length >= 0 && static_cast<size_t>(length) < sizeof path)
            error = AppendFluxRow(path, flux::CsvHeader(), flux::CsvRow(result));
    } catch (const std::bad_alloc &) {
        error = ERROR_NOT_ENOUGH_MEMORY;
    }
    if (error == 0) {
        if (FluxWriteEpisode) {
            snprintf(message, sizeof message, EventCode::FluxWrittenAgain.Formats[0], Name, path,
                     static_cast<unsigned long>(FluxRowsLost));
            EventLogRef.Write(EventCode::FluxWrittenAgain, message);
            FluxWriteEpisode = false;
            FluxRowsLost = 0;
        }
        return;
    }
    ++FluxRowsLost;
    if (FluxWriteEpisode)
        return;
    FluxWriteEpisode = true;
    snprintf(message, sizeof message, EventCode::FluxWriteFailed.Formats[0], Name, path,
             static_cast<unsigned long>(error), period.c_str());
    EventLogRef.Write(EventCode::FluxWriteFailed, message);
}
