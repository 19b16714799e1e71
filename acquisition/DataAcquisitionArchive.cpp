// The archive engine: StartArchiveEngine, the idle-priority archive thread and its passes.
//
// The archive thread takes each buffer the engine thread hands over, screens it, drives the
// statistics periods, lets the instrument rewrite and classify the samples, gathers the good
// samples' text (with an optional time key) into one file buffer and appends it to the raw
// data files named from the raw template. A buffer is handed back to the engine (SampleCount
// set to 0) as soon as its text has been gathered, before the last disk write of the pass.
#include <cstddef>
#include <new>

#include "acquisition/DataAcquisition.h"
#include "services/FileNameTemplate.h"
#include "services/Win32Util.h"

namespace {

// Statistics averaging period used when none was given.
constexpr DWORD DefaultStatsArchivePeriod = 60;

// Bounded copy of a text into a field of `size` characters; always terminated.
void CopyText(char *field, size_t size, const char *text) {
    snprintf(field, size, "%s", text ? text : "");
}

}  // namespace

int DataAcquisition::StartArchiveEngine(WORD rawTimeKeyFormat, DWORD rawTimeKeyEnabled, DWORD qualityControl,
                                        const char *rawArchiveDirectory, const char *rawFileTemplate,
                                        const char *statsArchiveDirectory, const char *statsFileTemplate,
                                        DWORD blackoutPeriod, DWORD rawArchivePeriod,
                                        DWORD statsArchivePeriod, DWORD fileCompression,
                                        DWORD compressionAge) {
    // Nothing to do while the engine is being stopped or a reinitialization is being aborted.
    if (IsSignalled(StopRequestEvent) || IsSignalled(AbortReinitEvent))
        return 0;

    // The controlling thread formats into a buffer of its own.
    char message[MessageSize];
    snprintf(message, sizeof message, "%s: Starting archive engine.", Name);
    EventLogRef.Write(5212, message);

    CompressionAge = compressionAge;
    RawArchivePeriod = rawArchivePeriod;
    RawTimeKeyFormat = rawTimeKeyFormat;
    RawTimeKeyEnabled = static_cast<int>(rawTimeKeyEnabled);
    QualityControl = static_cast<int>(qualityControl);
    FileCompression = static_cast<int>(fileCompression);
    CopyText(RawArchiveDirectory, sizeof RawArchiveDirectory, rawArchiveDirectory);
    CopyText(RawFileTemplate, sizeof RawFileTemplate, rawFileTemplate);
    CopyText(StatsArchiveDirectory, sizeof StatsArchiveDirectory, statsArchiveDirectory);
    CopyText(StatsFileTemplate, sizeof StatsFileTemplate, statsFileTemplate);
    BlackoutPeriod = blackoutPeriod;

    // The statistics period is taken only once, and only for a complete statistics setup.
    if (StatsArchiveDirectory[0] != '\0' && StatsFileTemplate[0] != '\0' && StatsArchivePeriod == 0) {
        StatsArchivePeriod = statsArchivePeriod;
        if (statsArchivePeriod == 0) {
            snprintf(message, sizeof message,
                     "%s: The specified StatsArchivePeriod is invalid (%d seconds). The default value of %d "
                     "will be used.",
                     Name, static_cast<int>(statsArchivePeriod), static_cast<int>(DefaultStatsArchivePeriod));
            EventLogRef.Write(5020, message);
            StatsArchivePeriod = DefaultStatsArchivePeriod;
        }
    }

    ClockSyncActive = 0;
    if (BlackoutPeriod != 0)
        OpenClockSyncBlock();

    // Without an archive thread nobody uses the block: its handles are closed again.
    if (IsSignalled(StopRequestEvent)) {
        CloseClockSyncBlock();
        return 1;
    }

    uintptr_t thread = _beginthreadex(nullptr, 0, ArchiveThread, this, 0, &ArchiveThreadId);
    if (thread == 0) {
        DWORD error = GetLastError();
        CloseClockSyncBlock();
        return static_cast<int>(error != 0 ? error : static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    }
    ArchiveThreadHandle = reinterpret_cast<HANDLE>(thread);
    ThreadId = ArchiveThreadId;
    return 0;
}

unsigned __stdcall DataAcquisition::ArchiveThread(void *engine) {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_IDLE);
    static_cast<DataAcquisition *>(engine)->RunArchive();
    return 0;
}

void DataAcquisition::RunArchive() {
    ResetEvent(ArchiveIdleEvent);
    // Passes begin only once the instrument is initialized (or Stop released the wait).
    WaitForSingleObject(EngineReadyEvent, INFINITE);

    ArchiveThreadState state;
    BeginArchive(state);
    FinalPass = false;

    const HANDLE handles[1 + BufferCount] = {ArchiveStopEvent, Buffers[0].BufferReadyEvent,
                                             Buffers[1].BufferReadyEvent, Buffers[2].BufferReadyEvent,
                                             Buffers[3].BufferReadyEvent};
    // The producer hands buffers over in ring order. When the archive falls behind, several
    // are ready at once and the wait names the lowest index, which after a wrap of the ring
    // is the newest data. So the passes follow the ring from the oldest buffer handed over,
    // and raw files and statistics periods always see time go forward.
    bool ready[BufferCount] = {};
    int next = 0;
    bool archivedAny = false;
    bool stopping = false;
    while (!stopping) {
        DWORD result = WaitForMultipleObjects(1 + BufferCount, handles, FALSE, INFINITE);
        if (result == WAIT_OBJECT_0) {
            stopping = true;
            break;
        }
        if (result < WAIT_OBJECT_0 + 1 || result > WAIT_OBJECT_0 + BufferCount) {
            // A failed wait means a handle is unusable; it will not recover, and waiting again
            // at once would only spin. The engine goes on, but its buffers are no longer
            // archived: say so.
            snprintf(state.Message, sizeof state.Message,
                     "%s: The archive thread's wait failed (result %lu, error %lu). Archiving has ended.",
                     Name, static_cast<unsigned long>(result), static_cast<unsigned long>(GetLastError()));
            EventLogRef.Write(ArchiveWaitFailedCode, state.Message);
            break;
        }
        const int signalled = static_cast<int>(result - WAIT_OBJECT_0 - 1);
        ready[signalled] = true;
        // A producer that left the ring order behind (none of ours does) is followed from the
        // buffer it signalled, so no ready buffer is ever left waiting.
        if (!ready[next] && !IsSignalled(Buffers[next].BufferReadyEvent))
            next = signalled;
        else
            ready[next] = true;
        while (!stopping && ready[next]) {
            ready[next] = false;
            CurrentBuffer = next;
            next = (next + 1) % BufferCount;
            archivedAny = true;
            stopping = !ArchivePass(state);
            if (!ready[next] && IsSignalled(Buffers[next].BufferReadyEvent))
                ready[next] = true;
        }
    }

    if (stopping)
        ArchiveAtStop(state, ready, next, archivedAny);
    SetEvent(ArchiveIdleEvent);
}

void DataAcquisition::ArchiveAtStop(ArchiveThreadState &state, bool (&ready)[BufferCount], int next,
                                    bool archivedAny) {
    // Stop ends the engine thread before it sets ArchiveStopEvent, so every buffer that will
    // ever be handed over is signalled by now: archive them all, oldest first.
    int remaining = 0;
    for (int i = 0; i < BufferCount; ++i) {
        if (!ready[i] && IsSignalled(Buffers[i].BufferReadyEvent))
            ready[i] = true;
        if (ready[i])
            ++remaining;
    }

    if (remaining == 0) {
        // Nothing left to archive: an empty last pass closes the partial statistics period at
        // the current time, once samples have been archived at all.
        if (!archivedAny)
            return;
        for (int k = 0; k < BufferCount; ++k) {
            const int index = (next + k) % BufferCount;
            if (Buffers[index].SampleCount.load(std::memory_order_acquire) == 0) {
                CurrentBuffer = index;
                FinalPass = true;
                ArchivePass(state);
                FinalPass = false;
                return;
            }
        }
        return;
    }

    for (int k = 0; k < BufferCount && remaining > 0; ++k) {
        const int index = (next + k) % BufferCount;
        if (!ready[index])
            continue;
        ready[index] = false;
        --remaining;
        // The last of them closes the partial statistics period at its last sample.
        FinalPass = remaining == 0;
        CurrentBuffer = index;
        ArchivePass(state);
    }
    FinalPass = false;
}

void DataAcquisition::BeginArchive(ArchiveThreadState &state) {
    ArchivedCount = BadCount = BlackoutCount = EditedCount = 0;
    GetSystemTime(&state.PreviousTakeTime);
    state.PreviousRawFileName[0] = '\0';

    BeginStatistics();

    RawArchivingEnabled =
        (RawArchiveDirectory[0] != '\0' && RawFileTemplate[0] != '\0' && RawArchivePeriod != 0) ? 1 : 0;
    if (RawArchivingEnabled) {
        snprintf(state.Message, sizeof state.Message,
                 "%s: Raw data archiving enabled with an archiving period of %d seconds.", Name,
                 static_cast<int>(RawArchivePeriod));
        EventLogRef.Write(5013, state.Message);
    } else {
        snprintf(state.Message, sizeof state.Message, "%s: Raw data archiving disabled.", Name);
        EventLogRef.Write(5014, state.Message);
    }

    if (FileCompression) {
        snprintf(state.Message, sizeof state.Message,
                 "%s: File compression enabled for files older than %d seconds.", Name,
                 static_cast<int>(CompressionAge));
        EventLogRef.Write(5015, state.Message);
    } else {
        snprintf(state.Message, sizeof state.Message, "%s: File compression disabled.", Name);
        EventLogRef.Write(5016, state.Message);
    }

    ConfigureStatistics();

    state.TimeKeyWidth = RawTimeKeyFormat == 1 ? 10 : RawTimeKeyFormat == 2 ? 8 : 0;
}

namespace {

// Writes an entry stamped with the time read while the log's mutex is held, so that the
// stamps of these entries follow the order in which they reach the file.
void WriteStampedEntry(EventLog &log, LONG code, const char *message) {
    DWORD wait = log.DiskWriteMutex ? WaitForSingleObject(log.DiskWriteMutex, INFINITE) : WAIT_FAILED;
    bool held = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    EventLog::Entry entry = {};
    if (held)
        GetSystemTimeAsFileTime(&entry.Time);
    entry.Code = code;
    entry.Message = message;
    log.WriteEntry(entry);
    if (held)
        ReleaseMutex(log.DiskWriteMutex);
}

// Starts the compression thread for the hour change seen by this pass.
void StartCompressionRun(DataAcquisition &engine, DataAcquisition::ArchiveThreadState &state) {
    if (engine.CompressionThreadHandle) {
        // One run at a time: a run that is still going when the next hour begins keeps the
        // fields it shares with its successor, and the new run is skipped.
        if (WaitForSingleObject(engine.CompressionThreadHandle, 0) == WAIT_TIMEOUT) {
            snprintf(state.Message, sizeof state.Message,
                     "%s: Compression run skipped: the previous run is still going.", engine.Name);
            engine.EventLogRef.Write(5025, state.Message);
            return;
        }
        CloseHandle(engine.CompressionThreadHandle);
        engine.CompressionThreadHandle = nullptr;
    }
    engine.CompressionTime = state.TakeTime;
    uintptr_t thread = _beginthreadex(nullptr, 0, DataAcquisition::CompressionThread, &engine, 0, nullptr);
    engine.CompressionThreadHandle = reinterpret_cast<HANDLE>(thread);
    if (thread == 0) {
        // No run this hour; the next hour change tries again.
        snprintf(state.Message, sizeof state.Message,
                 "%s: The compression thread could not be started (error %lu). No compression run this hour.",
                 engine.Name, static_cast<unsigned long>(GetLastError()));
        engine.EventLogRef.Write(DataAcquisition::CompressionStartCode, state.Message);
    }
}

}  // namespace

bool DataAcquisition::ArchivePass(ArchiveThreadState &state) {
    SampleBuffer &buffer = Buffers[CurrentBuffer];

    GetSystemTime(&state.TakeTime);
    FileBufferPosition = 0;
    FileBufferSize = 0;

    if (QualityControl)
        ScreenSamples();
    if (StatisticsEnabled)
        RunStatisticsTiming();
    ProcessRawSamples();

    const DWORD count = buffer.SampleCount.load(std::memory_order_acquire);
    if (count == 0)
        return true;

    // The file buffer holds the text of every record, whatever its status, plus the keys.
    size_t size = 0;
    for (DWORD i = 0; i < count && i < SampleBuffer::Capacity; ++i) {
        LONG length = buffer.Records[i].Length;
        if (length > 0)
            size += static_cast<size_t>(length);
    }

    if (size == 0) {
        snprintf(state.Message, sizeof state.Message,
                 "%s:  All %d raw data samples are empty. No samples archived.", Name,
                 static_cast<int>(ArchivedCount + BadCount + BlackoutCount + EditedCount));
        WriteStampedEntry(EventLogRef, 5019, state.Message);
        buffer.SampleCount.store(0, std::memory_order_release);
    } else {
        if (RawTimeKeyEnabled)
            size += static_cast<size_t>(count) * static_cast<size_t>(state.TimeKeyWidth);

        FileBuffer = size <= 0x7FFFFFFF ? new (std::nothrow) char[size]() : nullptr;
        if (!FileBuffer) {
            // The buffer goes back to the engine at once, so the ring keeps turning; its
            // samples are lost and the loss is logged.
            snprintf(state.Message, sizeof state.Message,
                     "%s: Error allocating memory for FileBuffer (%d samples lost)", Name,
                     static_cast<int>(count));
            WriteStampedEntry(EventLogRef, 5018, state.Message);
            buffer.SampleCount.store(0, std::memory_order_release);
        } else {
            FileBufferSize = static_cast<int>(size);

            const DWORD total = ArchivedCount + BlackoutCount + EditedCount + BadCount;
            int length =
                snprintf(state.Message, sizeof state.Message, "%s: Archiving %d of %d raw data samples.",
                         Name, static_cast<int>(ArchivedCount), static_cast<int>(total));
            if ((BadCount || BlackoutCount || EditedCount) && length > 0 &&
                static_cast<size_t>(length) < sizeof state.Message) {
                snprintf(state.Message + length, sizeof state.Message - static_cast<size_t>(length),
                         " Excluded samples: Bad = %d  Blackout = %d  Edited = %d",
                         static_cast<int>(BadCount), static_cast<int>(BlackoutCount),
                         static_cast<int>(EditedCount));
            }
            WriteStampedEntry(EventLogRef, 5017, state.Message);
            UpdateArchiveBookkeeping(state.TakeTime, static_cast<int>(ArchivedCount + EditedCount));

            ArchiveRawSamples(state);
            // The text is gathered: the engine may refill the buffer while the disk is written.
            buffer.SampleCount.store(0, std::memory_order_release);
            if (WorkingFileName[0] != '\0' && RawArchivingEnabled == 1)
                WriteRawFile(WorkingFileName, CurrentFileTime);

            delete[] FileBuffer;
            FileBuffer = nullptr;
            FileBufferSize = 0;
            FileBufferPosition = 0;
        }
    }

    if (FileCompression && state.TakeTime.wHour != state.PreviousTakeTime.wHour)
        StartCompressionRun(*this, state);
    state.PreviousTakeTime = state.TakeTime;

    ArchivedCount = BadCount = BlackoutCount = EditedCount = 0;
    return !IsSignalled(ArchiveStopEvent);
}

void DataAcquisition::ArchiveRawSamples(ArchiveThreadState &state) {
    SampleBuffer &buffer = Buffers[CurrentBuffer];
    const DWORD count = buffer.SampleCount.load(std::memory_order_acquire);
    const size_t width = RawTimeKeyEnabled ? static_cast<size_t>(state.TimeKeyWidth) : 0;

    for (DWORD i = 0; i < count && i < SampleBuffer::Capacity; ++i) {
        const SampleRecord &record = buffer.Records[i];
        FileTimeToSystemTime(&record.TimeStamp, &SampleTime);

        CopyText(WorkingFileName, sizeof WorkingFileName, RawFileTemplate);
        CurrentFileTime = SampleTime;
        ExpandFileNameTemplate(WorkingFileName, SampleTime);

        // A new file name flushes everything gathered under the old one.
        if (state.PreviousRawFileName[0] != '\0' && strcmp(state.PreviousRawFileName, WorkingFileName) != 0 &&
            RawArchivingEnabled == 1)
            WriteRawFile(state.PreviousRawFileName, PreviousFileTime);

        if (record.Status == SampleGood && FileBuffer) {
            size_t position = static_cast<size_t>(FileBufferPosition);
            size_t capacity = static_cast<size_t>(FileBufferSize);
            if (width > 0 && position + width <= capacity) {
                // Formatted aside, so that no terminator lands in the file buffer.
                char key[32];
                if (RawTimeKeyFormat == 1)
                    snprintf(key, sizeof key, "%02d%02d%02d%03d ", SampleTime.wHour, SampleTime.wMinute,
                             SampleTime.wSecond, SampleTime.wMilliseconds);
                else
                    snprintf(key, sizeof key, "%02d%02d%03d ", SampleTime.wMinute, SampleTime.wSecond,
                             SampleTime.wMilliseconds);
                memcpy(FileBuffer + position, key, width);
                position += width;
            }
            if (record.Text && record.Length > 0) {
                size_t length = static_cast<size_t>(record.Length);
                if (position + length <= capacity) {
                    memcpy(FileBuffer + position, record.Text, length);
                    position += length;
                }
            }
            FileBufferPosition = static_cast<int>(position);
        }

        CopyText(state.PreviousRawFileName, sizeof state.PreviousRawFileName, WorkingFileName);
        PreviousFileTime = CurrentFileTime;
    }
}

void DataAcquisition::WriteRawFile(const char *name, SYSTEMTIME time) {
    // Nothing gathered since the last write: no file is touched.
    if (!FileBuffer || FileBufferPosition <= 0)
        return;

    char message[MessageSize];
    const int pending = FileBufferPosition;
    int pathLength = RawArchiveDirectory[0] != '\0'
                         ? snprintf(RawFilePath, sizeof RawFilePath, "%s\\%s", RawArchiveDirectory, name)
                         : snprintf(RawFilePath, sizeof RawFilePath, "%s", name);

    FILE *file = nullptr;
    long size = 0;
    if (pathLength >= 0 && static_cast<size_t>(pathLength) < sizeof RawFilePath) {
        HANDLE existing = CreateFileA(RawFilePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (existing != INVALID_HANDLE_VALUE) {
            DWORD low = GetFileSize(existing, nullptr);
            size = low == INVALID_FILE_SIZE ? 0 : static_cast<long>(low);
            CloseHandle(existing);
        }
        file = _fsopen(RawFilePath, "ab", _SH_DENYNO);
    }

    // The gathered bytes belong to this file alone: when it cannot be written they are
    // dropped, never appended to the next file of the pass.
    FileBufferPosition = 0;
    if (!file) {
        snprintf(message, sizeof message, "%s: Error opening file %s (%d bytes lost)", Name,
                 pathLength >= 0 && static_cast<size_t>(pathLength) < sizeof RawFilePath ? RawFilePath : name,
                 pending);
        EventLogRef.Write(5004, message);
        return;
    }

    bool written = true;
    if (size == 0) {
        char header[3 * TextSize];
        int length = 0;
        if (RawTimeKeyFormat == 1)
            length = snprintf(header, sizeof header, "%02d/%02d/%02d %s (SN: %s)\r\n", time.wMonth, time.wDay,
                              time.wYear % 100, InstrumentName, SerialNumber);
        else if (RawTimeKeyFormat == 2)
            length = snprintf(header, sizeof header, "%02d/%02d/%02d %02d:00 %s (SN: %s)\r\n", time.wMonth,
                              time.wDay, time.wYear, time.wHour, InstrumentName, SerialNumber);
        if (length > 0) {
            size_t bytes =
                static_cast<size_t>(length) < sizeof header ? static_cast<size_t>(length) : sizeof header - 1;
            written = fwrite(header, 1, bytes, file) == bytes;
        }
    }
    if (written)
        written = fwrite(FileBuffer, 1, static_cast<size_t>(pending), file) == static_cast<size_t>(pending);
    if (fclose(file) != 0)
        written = false;
    if (!written) {
        snprintf(message, sizeof message, "%s: Error writing file %s (%d bytes lost)", Name, RawFilePath,
                 pending);
        EventLogRef.Write(5004, message);
    }
}

// Counts the records of the current buffer by status into the per-pass counters.
void DataAcquisition::ProcessRawSamples() {
    SampleBuffer &buffer = Buffers[CurrentBuffer];
    const DWORD count = buffer.SampleCount.load(std::memory_order_acquire);
    for (CurrentSample = 0; CurrentSample < count && CurrentSample < SampleBuffer::Capacity;
         ++CurrentSample) {
        switch (buffer.Records[CurrentSample].Status) {
            case SampleBad:
                ++BadCount;
                break;
            case SampleGood:
                ++ArchivedCount;
                break;
            case SampleBlackout:
                ++BlackoutCount;
                break;
            case SampleEdited:
                ++EditedCount;
                break;
            default:
                break;
        }
    }
}
