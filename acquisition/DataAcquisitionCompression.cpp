// The hourly compression of old data files: the archive thread starts CompressionThread at
// each change of the UTC hour; it zips the raw and statistics files last written more than
// CompressionAge seconds before that hour change, one archive per file beside it, and deletes
// each file whose archive holds its current bytes.
#include "acquisition/DataAcquisition.h"
#include "services/StationFormats.h"
#include "services/Win32Util.h"
#include "support/ZipUtility.h"

unsigned __stdcall DataAcquisition::CompressionThread(void *engine) {
    DataAcquisition *self = static_cast<DataAcquisition *>(engine);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_IDLE);

    // Threshold: the hour-change time less the age; it stays the hour-change time when a
    // conversion fails.
    FILETIME hourChange;
    if (SystemTimeToFileTime(&self->CompressionTime, &hourChange)) {
        const ULONGLONG age = static_cast<ULONGLONG>(self->CompressionAge) * FileTimeUnitsPerSecond;
        const ULONGLONG at = FileTimeToUnits(hourChange);
        FILETIME threshold = UnitsToFileTime(at > age ? at - age : 0);
        SYSTEMTIME thresholdTime;
        if (FileTimeToSystemTime(&threshold, &thresholdTime))
            self->CompressionTime = thresholdTime;
    }

    // This thread formats into buffers of its own; the engine's Message belongs to the
    // engine thread.
    char message[MessageSize];
    const SYSTEMTIME &t = self->CompressionTime;
    snprintf(message, sizeof message, EventCode::CompressionStarted.Formats[0], self->Name ? self->Name : "",
             t.wMonth, t.wDay, t.wYear % 100, t.wHour, t.wMinute, t.wSecond);
    self->EventLogRef.Write(EventCode::CompressionStarted, message);

    FILETIME threshold;
    if (SystemTimeToFileTime(&self->CompressionTime, &threshold))
        self->CompressionThreshold = threshold;

    self->CompressDataFiles();
    return 0;
}

void DataAcquisition::CompressDataFiles() {
    if (RawArchiveDirectory[0])
        CompressMatchingFiles(RawArchiveDirectory, RawFileTemplate);
    if (StatsArchiveDirectory[0])
        CompressMatchingFiles(StatsArchiveDirectory, StatsFileTemplate);
}

void DataAcquisition::CompressMatchingFiles(const char *directory, const char *fileTemplate) {
    // The files of the data set are those ending like the template: its tail from the last
    // "_" (else the last ".") on, after a "*".
    const char *tail = std::strrchr(fileTemplate, '_');
    if (!tail)
        tail = std::strrchr(fileTemplate, '.');
    snprintf(FilePattern, sizeof FilePattern, "*%s", tail ? tail : "");

    char message[MessageSize];
    int prefix = snprintf(message, sizeof message, EventCode::CompressionReport.Formats[0], Name ? Name : "");
    if (prefix < 0 || prefix >= MessageSize - 1)
        prefix = 0;
    char *report = message + prefix;
    const DWORD capacity = static_cast<DWORD>(MessageSize - prefix);

    RemoveLeftoverTemporaries(directory);

    // Zip first, one archive per file beside it. Then delete, file by file, only what its
    // archive is seen to hold just before the delete: a file whose add failed or was skipped
    // by the rule, that changed after it was zipped, or that turned up after the zip pass is
    // kept and named in the report, and a later run takes it up again. Without the zip library
    // nothing can be checked, so nothing is deleted.
    DWORD result = ProcessFiles(ActionZip, directory, FilePattern, directory, "", OverwriteIfSmaller,
                                CompressionWindowStart, CompressionThreshold, report, capacity);
    if (result != ZipUtilityNoZipObject)
        DeleteZippedFiles(directory, FilePattern, CompressionWindowStart, CompressionThreshold, report,
                          capacity);
    EventLogRef.Write(EventCode::CompressionReport, message);
}

void DataAcquisition::RemoveLeftoverTemporaries(const char *directory) {
    // A run that was killed while the zip library wrote an archive leaves its temporary file,
    // the archive's name with a random suffix ("lab02632116_raw.zip.3hhukt"), which is no valid
    // zip and which nothing else would ever remove. Such files of this data set's archives
    // from before this run are removed, each with an entry.
    char pattern[2 * TextSize];
    const char *extension = strrchr(FilePattern, '.');
    const int stem =
        extension ? static_cast<int>(extension - FilePattern) : static_cast<int>(strlen(FilePattern));
    const int length = snprintf(pattern, sizeof pattern, "%s\\%.*s.zip.*", directory, stem, FilePattern);
    if (length < 0 || static_cast<size_t>(length) >= sizeof pattern)
        return;
    FILETIME runStart;
    GetSystemTimeAsFileTime(&runStart);
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    char message[MessageSize];
    do {
        // Windows matches a trailing ".*" against nothing as well, so the pattern also finds
        // the archives themselves: only a name with a suffix after ".zip." is a temporary file.
        const char *suffix = strstr(found.cFileName, ".zip.");
        if (suffix == nullptr || suffix[5] == '\0' || (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
            CompareFileTime(&found.ftLastWriteTime, &runStart) >= 0)
            continue;
        char path[2 * TextSize];
        const int pathLength = snprintf(path, sizeof path, "%s\\%s", directory, found.cFileName);
        if (pathLength < 0 || static_cast<size_t>(pathLength) >= sizeof path)
            continue;
        if (DeleteFileA(path))
            snprintf(message, sizeof message, EventCode::LeftoverTemporary.Formats[0], Name ? Name : "",
                     path);
        else
            snprintf(message, sizeof message, EventCode::LeftoverTemporary.Formats[1], Name ? Name : "", path,
                     static_cast<unsigned long>(GetLastError()));
        EventLogRef.Write(EventCode::LeftoverTemporary, message);
    } while (FindNextFileA(search, &found));
    FindClose(search);
}
