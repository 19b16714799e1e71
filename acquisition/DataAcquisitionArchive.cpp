// The archive engine: StartArchiveEngine, the idle-priority archive thread and its passes.
//
// The archive thread takes each buffer the engine thread hands over, screens it, drives the
// statistics periods, lets the instrument rewrite and classify the samples, gathers the good
// samples' text (with an optional time key) into one file buffer and appends it to the raw
// data files named from the raw template. A buffer is handed back to the engine (SampleCount
// set to 0) as soon as its text has been gathered, before the last disk write of the pass.
//
// Raw files hold whole lines only. A write that fails part-way (a full disk) cuts the file
// back to its size before the write. Text that could not be written (the disk is full, or the
// file is held open by another program) is kept, up to KeptRawLimit bytes, and a later pass
// writes it to the file's late file beside it ("lab02634213_late_raw.txt" for
// "lab02634213_raw.txt"), never into another hour's file. The first failure logs 5004 with the
// samples lost and kept; 5030 says when everything was written again, with how many samples
// were written late and how many were lost. The registry bookkeeping comes after the raw data,
// so a slow store never delays them.
#include <cstddef>
#include <new>

#include "acquisition/DataAcquisition.h"
#include "services/DateAndDirectory.h"
#include "services/FileNameTemplate.h"
#include "services/StationFormats.h"
#include "services/WholeAppend.h"
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
    snprintf(message, sizeof message, EventCode::ArchiveEngineStarting.Formats[0], Name);
    EventLogRef.Write(EventCode::ArchiveEngineStarting, message);

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
            snprintf(message, sizeof message, EventCode::StatsArchivePeriodInvalid.Formats[0], Name,
                     static_cast<int>(statsArchivePeriod), static_cast<int>(DefaultStatsArchivePeriod));
            EventLogRef.Write(EventCode::StatsArchivePeriodInvalid, message);
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
        // With a clock-synchronisation block, the wait ends every ClockSyncPollMs to read it:
        // a time published and replaced between two passes keeps its window that way.
        const DWORD timeout = ClockSyncActive == 1 ? ClockSyncPollMs : INFINITE;
        DWORD result = WaitForMultipleObjects(1 + BufferCount, handles, FALSE, timeout);
        if (result == WAIT_OBJECT_0) {
            stopping = true;
            break;
        }
        if (result == WAIT_TIMEOUT) {
            ReadClockSyncBlock();
            continue;
        }
        if (result < WAIT_OBJECT_0 + 1 || result > WAIT_OBJECT_0 + BufferCount) {
            // A failed wait means a handle is unusable; it will not recover, and waiting again
            // at once would only spin. The engine goes on, but its buffers are no longer
            // archived: say so.
            snprintf(state.Message, sizeof state.Message, EventCode::ArchiveWaitFailed.Formats[0], Name,
                     static_cast<unsigned long>(result), static_cast<unsigned long>(GetLastError()));
            EventLogRef.Write(EventCode::ArchiveWaitFailed, state.Message);
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
            ArchivePasses.fetch_add(1, std::memory_order_relaxed);
            if (!ready[next] && IsSignalled(Buffers[next].BufferReadyEvent))
                ready[next] = true;
        }
    }

    if (stopping)
        ArchiveAtStop(state, ready, next, archivedAny);
    // The last chance for text kept by failed writes.
    WriteKeptRawText(true);
    // The running flux period, with what it has.
    ArchiveFlux(true);
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
        snprintf(state.Message, sizeof state.Message, EventCode::RawArchivingEnabled.Formats[0], Name,
                 static_cast<int>(RawArchivePeriod));
        EventLogRef.Write(EventCode::RawArchivingEnabled, state.Message);
    } else {
        snprintf(state.Message, sizeof state.Message, EventCode::RawArchivingDisabled.Formats[0], Name);
        EventLogRef.Write(EventCode::RawArchivingDisabled, state.Message);
    }

    if (FileCompression) {
        snprintf(state.Message, sizeof state.Message, EventCode::CompressionEnabled.Formats[0], Name,
                 static_cast<int>(CompressionAge));
        EventLogRef.Write(EventCode::CompressionEnabled, state.Message);
    } else {
        snprintf(state.Message, sizeof state.Message, EventCode::CompressionDisabled.Formats[0], Name);
        EventLogRef.Write(EventCode::CompressionDisabled, state.Message);
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
            snprintf(state.Message, sizeof state.Message, EventCode::CompressionSkipped.Formats[0],
                     engine.Name);
            engine.EventLogRef.Write(EventCode::CompressionSkipped, state.Message);
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
        snprintf(state.Message, sizeof state.Message, EventCode::CompressionThreadFailed.Formats[0],
                 engine.Name, static_cast<unsigned long>(GetLastError()));
        engine.EventLogRef.Write(EventCode::CompressionThreadFailed, state.Message);
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
        snprintf(state.Message, sizeof state.Message, EventCode::AllSamplesEmpty.Formats[0], Name,
                 static_cast<int>(ArchivedCount + BadCount + BlackoutCount + EditedCount));
        WriteStampedEntry(EventLogRef, EventCode::AllSamplesEmpty.Code, state.Message);
        buffer.SampleCount.store(0, std::memory_order_release);
    } else {
        ArchiveBuffer(state, count, size);
    }

    if (FileCompression && state.TakeTime.wHour != state.PreviousTakeTime.wHour)
        StartCompressionRun(*this, state);
    state.PreviousTakeTime = state.TakeTime;

    ArchivedCount = BadCount = BlackoutCount = EditedCount = 0;
    return !IsSignalled(ArchiveStopEvent);
}

void DataAcquisition::ArchiveBuffer(ArchiveThreadState &state, DWORD count, size_t size) {
    SampleBuffer &buffer = Buffers[CurrentBuffer];
    if (RawTimeKeyEnabled)
        size += static_cast<size_t>(count) * static_cast<size_t>(state.TimeKeyWidth);

    FileBuffer = size <= 0x7FFFFFFF ? new (std::nothrow) char[size]() : nullptr;
    if (!FileBuffer) {
        // The buffer goes back to the engine at once, so the ring keeps turning; its
        // samples are lost and the loss is logged.
        snprintf(state.Message, sizeof state.Message, EventCode::FileBufferMissing.Formats[0], Name,
                 static_cast<int>(count));
        WriteStampedEntry(EventLogRef, EventCode::FileBufferMissing.Code, state.Message);
        buffer.SampleCount.store(0, std::memory_order_release);
        // Lost samples reach no raw file, so no flux period either.
        FluxRecords.clear();
    } else {
        FileBufferSize = static_cast<int>(size);

        const DWORD total = ArchivedCount + BlackoutCount + EditedCount + BadCount;
        int length = snprintf(state.Message, sizeof state.Message, EventCode::ArchivePass.Formats[0], Name,
                              static_cast<int>(ArchivedCount), static_cast<int>(total));
        if ((BadCount || BlackoutCount || EditedCount) && length > 0 &&
            static_cast<size_t>(length) < sizeof state.Message) {
            snprintf(state.Message + length, sizeof state.Message - static_cast<size_t>(length),
                     EventCode::ArchivePass.Formats[1], static_cast<int>(BadCount),
                     static_cast<int>(BlackoutCount), static_cast<int>(EditedCount));
        }
        WriteStampedEntry(EventLogRef, EventCode::ArchivePass.Code, state.Message);

        ++RawPassNumber;
        RawWriteFailedInPass = false;
        FileBufferSamples = 0;
        ArchiveRawSamples(state);
        // The text is gathered: the engine may refill the buffer while the disk is written.
        buffer.SampleCount.store(0, std::memory_order_release);
        if (WorkingFileName[0] != '\0' && RawArchivingEnabled == 1)
            WriteRawFile(WorkingFileName, CurrentFileTime);

        delete[] FileBuffer;
        FileBuffer = nullptr;
        FileBufferSize = 0;
        FileBufferPosition = 0;
        FileBufferSamples = 0;

        // Raw data first, kept text next; the optional bookkeeping last, so that a store
        // locked by another program never delays the data.
        WriteKeptRawText(false);
        // The flux periods come after the raw data, which they never delay.
        ArchiveFlux(false);
        UpdateArchiveBookkeeping(state.TakeTime, static_cast<int>(ArchivedCount + EditedCount));
    }
}

void DataAcquisition::ArchiveRawSamples(ArchiveThreadState &state) {
    SampleBuffer &buffer = Buffers[CurrentBuffer];
    const DWORD count = buffer.SampleCount.load(std::memory_order_acquire);
    const size_t width = RawTimeKeyEnabled ? static_cast<size_t>(state.TimeKeyWidth) : 0;

    // A file name depends on nothing finer than the minute of its sample's stamp, so the
    // template is expanded once per minute of stamps, not once per record.
    constexpr ULONGLONG UnitsPerMinute = 600000000;
    ULONGLONG expandedMinute = 0;
    bool expanded = false;
    for (DWORD i = 0; i < count && i < SampleBuffer::Capacity; ++i) {
        const SampleRecord &record = buffer.Records[i];
        FileTimeToSystemTime(&record.TimeStamp, &SampleTime);

        const ULONGLONG minute = ((static_cast<ULONGLONG>(record.TimeStamp.dwHighDateTime) << 32) |
                                  record.TimeStamp.dwLowDateTime) /
                                 UnitsPerMinute;
        bool newName = false;
        if (!expanded || minute != expandedMinute) {
            CopyText(WorkingFileName, sizeof WorkingFileName, RawFileTemplate);
            ExpandFileNameTemplate(WorkingFileName, SampleTime);
            expanded = true;
            expandedMinute = minute;
            newName = strcmp(state.PreviousRawFileName, WorkingFileName) != 0;
        }
        CurrentFileTime = SampleTime;

        // A new file name flushes everything gathered under the old one.
        if (newName && state.PreviousRawFileName[0] != '\0' && RawArchivingEnabled == 1)
            WriteRawFile(state.PreviousRawFileName, PreviousFileTime);

        if (record.Status == SampleGood && FileBuffer) {
            size_t position = static_cast<size_t>(FileBufferPosition);
            size_t capacity = static_cast<size_t>(FileBufferSize);
            if (width > 0 && position + width <= capacity) {
                // HHMMSSmmm or MMSSmmm and a blank, each item zero-padded (the stamp's items
                // are in range, so each has exactly its width).
                const int items[4] = {SampleTime.wHour, SampleTime.wMinute, SampleTime.wSecond,
                                      SampleTime.wMilliseconds};
                const int widths[4] = {2, 2, 2, 3};
                char key[16];
                size_t k = 0;
                for (int item = RawTimeKeyFormat == 1 ? 0 : 1; item < 4; ++item) {
                    int value = items[item];
                    for (int digit = widths[item] - 1; digit >= 0; --digit) {
                        key[k + static_cast<size_t>(digit)] = static_cast<char>('0' + value % 10);
                        value /= 10;
                    }
                    k += static_cast<size_t>(widths[item]);
                }
                key[k++] = ' ';
                memcpy(FileBuffer + position, key, width < k ? width : k);
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
            ++FileBufferSamples;
        }

        if (newName)
            CopyText(state.PreviousRawFileName, sizeof state.PreviousRawFileName, WorkingFileName);
        PreviousFileTime = CurrentFileTime;
    }
}

bool DataAcquisition::RawPathOf(const char *name, char *path, size_t size) const {
    const int length = RawArchiveDirectory[0] != '\0'
                           ? snprintf(path, size, "%s\\%s", RawArchiveDirectory, name)
                           : snprintf(path, size, "%s", name);
    return length >= 0 && static_cast<size_t>(length) < size;
}

bool DataAcquisition::LateRawFileName(const char *name, char *late, size_t size) {
    const char *tail = strrchr(name, '_');
    if (!tail)
        tail = strrchr(name, '.');
    if (!tail)
        tail = name + strlen(name);
    const int length = snprintf(late, size, "%.*s_late%s", static_cast<int>(tail - name), name, tail);
    return length >= 0 && static_cast<size_t>(length) < size;
}

DWORD DataAcquisition::AppendRawText(const char *path, SYSTEMTIME time, const char *text, size_t size,
                                     bool &opened) {
    opened = false;
    bool remade = false;
    HANDLE file = OpenForAppend(path, RawArchiveDirectory, &remade);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error ? error : ERROR_OPEN_FAILED;
    }
    opened = true;
    const bool created = GetLastError() != ERROR_ALREADY_EXISTS;
    if (remade)
        LogDirectoryRemade(path);

    // A new or empty file starts with the header of its format (AppendWhole writes it then).
    char header[3 * TextSize];
    const int headerLength =
        FormatRawHeader(header, sizeof header, RawTimeKeyFormat, time, InstrumentName, SerialNumber);
    return AppendWhole(file, path, created, text, size, header, static_cast<size_t>(headerLength));
}

void DataAcquisition::KeepRawText(const char *name, SYSTEMTIME time, const char *text, size_t size,
                                  DWORD samples, bool opened, DWORD error, const char *path) {
    RawWriteFailedInPass = true;
    bool kept = false;
    if (size <= KeptRawLimit && KeptRawBytes <= KeptRawLimit - size) {
        try {
            // One chunk per file and pass: a chunk of an earlier pass may be written meanwhile.
            if (!KeptRaw.empty() && KeptRaw.back().Pass == RawPassNumber &&
                strcmp(KeptRaw.back().Name, name) == 0) {
                KeptRaw.back().Text.append(text, size);
            } else {
                KeptRaw.emplace_back();
                KeptRawText &chunk = KeptRaw.back();
                snprintf(chunk.Name, sizeof chunk.Name, "%s", name);
                chunk.Time = time;
                try {
                    chunk.Text.assign(text, size);
                } catch (...) {
                    KeptRaw.pop_back();
                    throw;
                }
            }
            KeptRaw.back().Samples += samples;
            KeptRaw.back().Pass = RawPassNumber;
            KeptRawBytes += size;
            kept = true;
        } catch (const std::bad_alloc &) {
            kept = false;
        }
    }
    const DWORD lost = kept ? 0 : samples;
    if (kept)
        EpisodeSamplesKept += samples;
    else
        EpisodeSamplesLost += samples;

    // One entry per episode: its first failure, with what it cost so far.
    if (RawWriteEpisode)
        return;
    RawWriteEpisode = true;
    char message[MessageSize];
    snprintf(message, sizeof message, EventCode::RawFileFailed.Formats[0], Name,
             opened ? "writing" : "opening", path, static_cast<unsigned long>(error),
             static_cast<unsigned long>(lost), static_cast<unsigned long>(kept ? samples : 0));
    EventLogRef.Write(EventCode::RawFileFailed, message);
}

void DataAcquisition::WriteRawFile(const char *name, SYSTEMTIME time) {
    // Nothing gathered since the last write: no file is touched.
    if (!FileBuffer || FileBufferPosition <= 0)
        return;

    // The gathered bytes belong to this file alone: what cannot be written to it is kept for
    // its late file, never appended to the next file of the pass.
    const size_t pending = static_cast<size_t>(FileBufferPosition);
    const DWORD samples = FileBufferSamples;
    FileBufferPosition = 0;
    FileBufferSamples = 0;

    bool opened = false;
    DWORD error = ERROR_FILENAME_EXCED_RANGE;
    if (RawPathOf(name, RawFilePath, sizeof RawFilePath))
        error = AppendRawText(RawFilePath, time, FileBuffer, pending, opened);
    else
        snprintf(RawFilePath, sizeof RawFilePath, "%s", name);
    if (error != 0)
        KeepRawText(name, time, FileBuffer, pending, samples, opened, error, RawFilePath);
}

void DataAcquisition::WriteKeptRawText(bool atStop) {
    char late[TextSize];
    char path[TextSize];
    // At the stop, what the last pass kept is written here too, so only this attempt counts.
    bool failed = atStop ? false : RawWriteFailedInPass;
    // In order, so that each late file gets its text in time order; the first failure ends the
    // attempt, and the rest waits for the next pass.
    while (!KeptRaw.empty()) {
        KeptRawText &chunk = KeptRaw.front();
        if (!atStop && chunk.Pass == RawPassNumber)
            break;  // kept by this pass: a later pass writes it
        bool opened = false;
        DWORD error = ERROR_FILENAME_EXCED_RANGE;
        if (LateRawFileName(chunk.Name, late, sizeof late) && RawPathOf(late, path, sizeof path))
            error = AppendRawText(path, chunk.Time, chunk.Text.data(), chunk.Text.size(), opened);
        if (error != 0) {
            failed = true;
            break;
        }
        EpisodeSamplesWrittenLate += chunk.Samples;
        KeptRawBytes -= chunk.Text.size();
        KeptRaw.pop_front();
    }
    if (!RawWriteEpisode)
        return;

    char message[MessageSize];
    if (KeptRaw.empty() && !failed) {
        snprintf(message, sizeof message, EventCode::RawWritesEnded.Formats[0], Name,
                 static_cast<unsigned long>(EpisodeSamplesWrittenLate),
                 static_cast<unsigned long>(EpisodeSamplesLost));
    } else if (atStop) {
        // The archive ends while writes still fail: what is still kept is lost now.
        DWORD unwritten = 0;
        for (const KeptRawText &chunk : KeptRaw)
            unwritten += chunk.Samples;
        EpisodeSamplesLost += unwritten;
        KeptRaw.clear();
        KeptRawBytes = 0;
        snprintf(message, sizeof message, EventCode::RawWritesEnded.Formats[1], Name,
                 static_cast<unsigned long>(EpisodeSamplesWrittenLate),
                 static_cast<unsigned long>(EpisodeSamplesLost));
    } else {
        return;
    }
    EventLogRef.Write(EventCode::RawWritesEnded, message);
    RawWriteEpisode = false;
    EpisodeSamplesKept = EpisodeSamplesWrittenLate = EpisodeSamplesLost = 0;
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

void DataAcquisition::LogDirectoryRemade(const char *path) {
    // The archive thread formats into a buffer of its own.
    char message[MessageSize];
    const char *last = strrchr(path, '\\');
    const int length = last != nullptr ? static_cast<int>(last - path) : 0;
    snprintf(message, sizeof message, EventCode::DirectoryRemade.Formats[0], Name, length, path);
    EventLogRef.Write(EventCode::DirectoryRemade, message);
}
