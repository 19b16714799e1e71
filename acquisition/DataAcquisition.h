// The instrument-independent acquisition engine: the sample ring, the engine and archive
// threads, sample screening, statistics periods, raw archiving, registry bookkeeping and
// compression scheduling. One class; its source is split by concern:
//   DataAcquisition.cpp            construction, Start, Stop, the engine thread
//   DataAcquisitionArchive.cpp     StartArchiveEngine, the archive thread and its passes
//   DataAcquisitionScreening.cpp   the clock-synchronisation block and ScreenSamples
//   DataAcquisitionStatistics.cpp  statistics periods
//   DataAcquisitionCompression.cpp the hourly compression thread
//   DataAcquisitionBookkeeping.cpp the registry bookkeeping of each pass
//   DataAcquisitionFlux.cpp        the flux periods and their daily file
#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "flux/Flux.h"
#include "platform/win32.h"
#include "services/EventLog.h"

class RegEditor;

// Record status values.
enum SampleStatus : SHORT {
    SampleBad = 0,
    SampleGood = 1,
    SampleBlackout = 2,
    SampleEdited = 3,
};

// One received instrument line.
struct SampleRecord {
    // The line, zero-terminated, owned by the record, with room for Length + 1 characters.
    // Allocated with new char[]; the engine's destructor frees it with delete[].
    char *Text = nullptr;
    SHORT Status = SampleGood;  // a SampleStatus
    LONG Length = 0;            // characters in Text without the terminator
    FILETIME TimeStamp = {};    // UTC reception time
    ULONGLONG Spare = 0;        // at the reading loop's disposal
};

// A step of the system clock that the reading loop detected: the clock's reading at the wake-up
// that noticed it (DetectedAt), the earliest moment on the new clock at which it can have
// happened (From: the previous wake-up, placed on the new clock by the performance counter),
// and its size (the new clock minus the old one), all in 100-ns units.
struct ClockStep {
    ULONGLONG From = 0;
    ULONGLONG DetectedAt = 0;
    LONGLONG Size = 0;
};

// One buffer of the ring. It belongs to the engine thread until its BufferReadyEvent is
// signalled, then to the archive thread until the archive pass sets SampleCount back to 0.
struct SampleBuffer {
    static constexpr DWORD Capacity = 4000;
    static constexpr DWORD MaxClockSteps = 8;
    SampleRecord Records[Capacity];
    // The clock steps detected since the previous hand-over, set by the engine with the
    // buffer's records (and published with them by the hand-over).
    ClockStep ClockSteps[MaxClockSteps];
    DWORD ClockStepCount = 0;
    // Written by the producer before the hand-over and set back to 0 (release) by the archive
    // thread; the producer reads it (acquire) to learn that the buffer is free again.
    std::atomic<DWORD> SampleCount{0};
    HANDLE BufferReadyEvent = nullptr;
};

class DataAcquisition {
public:
    static constexpr int BufferCount = 4;
    static constexpr int MessageSize = 1000;
    static constexpr int TextSize = MAX_PATH;
    // Event-log codes of our own for the engine's threads.
    static constexpr LONG ThreadTerminatedCode =
        EventCode::ThreadTerminated.Code;  // Stop had to terminate a thread
    static constexpr LONG ArchiveWaitFailedCode =
        EventCode::ArchiveWaitFailed.Code;  // the archive loop's wait failed
    static constexpr LONG CompressionStartCode =
        EventCode::CompressionThreadFailed.Code;  // the compression thread did not start
    // A warning: the configured logical processor does not exist, another one is used.
    static constexpr LONG ProcessorFallbackCode = EventCode::ProcessorFallback.Code;

    explicit DataAcquisition(EventLog &eventLog);
    DataAcquisition(const DataAcquisition &) = delete;
    DataAcquisition &operator=(const DataAcquisition &) = delete;

    // Virtual operations, in slot order.
    virtual ~DataAcquisition();
    virtual DWORD Start();
    virtual void Stop();
    virtual void Acquire() = 0;
    virtual void BuildStatsFilePath();
    virtual void BeginStatistics();
    virtual void ConfigureStatistics();
    virtual void WriteRawFile(const char *name, SYSTEMTIME time);
    virtual void ProcessRawSamples();
    virtual void AccumulateStatistics();
    virtual void WriteStatistics();
    virtual void CompressDataFiles();

    // Archive engine.
    int StartArchiveEngine(WORD rawTimeKeyFormat, DWORD rawTimeKeyEnabled, DWORD qualityControl,
                           const char *rawArchiveDirectory, const char *rawFileTemplate,
                           const char *statsArchiveDirectory, const char *statsFileTemplate,
                           DWORD blackoutPeriod, DWORD rawArchivePeriod, DWORD statsArchivePeriod,
                           DWORD fileCompression, DWORD compressionAge);

    // --- Engine core -------------------------------------------------------------------
    char *Name = nullptr;
    EventLog &EventLogRef;
    char Message[MessageSize] = {};
    char LineTerminator = 0;
    DWORD ProcessorIndex = 0;
    DWORD AffinityMask = 0;
    HANDLE EngineThreadHandle = nullptr;
    HANDLE ArchiveThreadHandle = nullptr;
    unsigned ThreadId = 0;

    // Manual-reset events, created in this order.
    HANDLE ReinitRequestEvent = nullptr;
    HANDLE AbortReinitEvent = nullptr;
    HANDLE StopRequestEvent = nullptr;
    HANDLE ArchiveStopEvent = nullptr;
    HANDLE ArchiveIdleEvent = nullptr;
    HANDLE ReinitIdleEvent = nullptr;
    HANDLE EngineReadyEvent = nullptr;

    SampleBuffer Buffers[BufferCount];
    DWORD FillBufferIndex = 0;
    SampleRecord *FillRecord = nullptr;

    // Reading-loop counters, zeroed at the start of each acquisition; engine thread only.
    DWORD LinesReceived = 0;      // complete lines seen
    DWORD BytesReceived = 0;      // bytes read from the port
    DWORD BuffersHandedOver = 0;  // buffers signalled to the archive thread
    DWORD LinesTruncated = 0;     // over-long lines cut to the receive area
    DWORD LinesLost = 0;          // lines dropped because every buffer was owned by the archive
    DWORD ReadErrors = 0;         // failed reads or waits on the port
    DWORD Reinitializations = 0;  // InitializeInstrument runs after the start
    // Progress that other threads may read (the service watchdog): reads of the port by the
    // engine thread and archive passes by the archive thread, counted from construction.
    std::atomic<DWORD> EngineReads{0};
    std::atomic<DWORD> ArchivePasses{0};
    // Buffers handed to the archive thread, counted from construction: when ArchivePasses has
    // caught up with it, nothing waits for the archive.
    std::atomic<DWORD> BufferHandOvers{0};
    // While the engine waits for a missing or lost port: the UTC time (100-ns units since
    // 1601) since which it is missing; 0 while the port is open. Set and cleared by the engine
    // thread, read by others (the service watchdog); lock-free, so the engine never blocks on it.
    std::atomic<ULONGLONG> PortMissingSince{0};
    static_assert(std::atomic<ULONGLONG>::is_always_lock_free, "the port state must be lock-free");

    // Process-wide: shared by every engine of the process.
    static LONG LiveInstances;
    static DWORD LogicalProcessorCount;
    static DWORD NextProcessorIndex;

    // --- Archive engine ----------------------------------------------------------------
    WORD RawTimeKeyFormat = 0;
    int RawTimeKeyEnabled = 0;
    int QualityControl = 0;
    char RawArchiveDirectory[TextSize] = {};
    char RawFileTemplate[TextSize] = {};
    char StatsArchiveDirectory[TextSize] = {};
    char StatsFileTemplate[TextSize] = {};
    DWORD BlackoutPeriod = 0;
    DWORD RawArchivePeriod = 0;
    DWORD StatsArchivePeriod = 0;
    int FileCompression = 0;
    DWORD CompressionAge = 0;

    int RawArchivingEnabled = 0;
    char *FileBuffer = nullptr;
    int FileBufferSize = 0;
    int FileBufferPosition = 0;
    int CurrentBuffer = 0;
    DWORD CurrentSample = 0;
    DWORD ArchivedCount = 0;
    DWORD BadCount = 0;
    DWORD BlackoutCount = 0;
    DWORD EditedCount = 0;
    char WorkingFileName[TextSize] = {};
    char RawFilePath[TextSize] = {};
    SYSTEMTIME SampleTime = {};
    SYSTEMTIME CurrentFileTime = {};
    SYSTEMTIME PreviousFileTime = {};
    unsigned ArchiveThreadId = 0;
    char InstrumentName[TextSize] = {};
    char SerialNumber[TextSize] = {};
    char RegistryKeyPath[TextSize] = {};

    // --- Raw text that could not be written ---------------------------------------------
    // Whole lines gathered for one raw file whose write failed. They are written by a later
    // pass to that file's late file (LateRawFileName), never to another file.
    struct KeptRawText {
        char Name[TextSize] = {};  // the raw file the text was gathered for
        SYSTEMTIME Time = {};      // its file-name time, for the late file's header
        std::string Text;
        DWORD Samples = 0;
        DWORD Pass = 0;  // the pass that kept it (or last added to it)
    };
    // About 5.5 hours of a 20 Hz instrument (raw lines of about 80 bytes with their keys).
    static constexpr size_t DefaultKeptRawLimit = 32u * 1024u * 1024u;
    std::deque<KeptRawText> KeptRaw;            // oldest first; archive thread only
    size_t KeptRawBytes = 0;                    // text bytes in KeptRaw
    size_t KeptRawLimit = DefaultKeptRawLimit;  // beyond this, text that cannot be written is lost
    DWORD FileBufferSamples = 0;                // samples gathered since the last WriteRawFile
    DWORD RawPassNumber = 0;                    // counts the passes that gathered raw text
    bool RawWriteFailedInPass = false;          // a raw write of the current pass failed
    // An episode of failing raw writes lasts from the first failure until a pass has written
    // everything, its own text and all kept text. 5004 opens it, 5030 closes it.
    bool RawWriteEpisode = false;
    DWORD EpisodeSamplesKept = 0;
    DWORD EpisodeSamplesWrittenLate = 0;
    DWORD EpisodeSamplesLost = 0;

    // --- Screening and the clock-synchronisation block -----------------------------------
    HANDLE ClockSyncMutex = nullptr;
    HANDLE ClockSyncMapping = nullptr;
    void *ClockSyncView = nullptr;
    int ClockSyncActive = 0;
    SYSTEMTIME ClockSyncTime = {};
    ULONGLONG SyncFileTime = 0;
    ULONGLONG BlackoutEnd = 0;
    SYSTEMTIME BlackoutEndTime = {};
    int RequiredSampleSize = 0;
    int ValidCount = 0;
    // The separator of the instrument line's fields (0: none known). With one, a blank in
    // the first field (the instrument's status) makes a record bad.
    char FieldSeparator = 0;
    // The shape of the instrument's line (0: not known). With a separator and RequiredFieldCount
    // set, a record is bad when its first field is empty, when it has fewer fields, or when a
    // non-empty field numbered FirstNumericField to LastNumericField (from 1) is neither wholly
    // a decimal number nor a non-finite word (nan, inf), blanks around it allowed.
    int RequiredFieldCount = 0;
    int FirstNumericField = 0;
    int LastNumericField = 0;
    // Lines with a carriage return followed by more text, counted per pass.
    static constexpr LONG CarriageReturnInsideCode = EventCode::CarriageReturnInside.Code;
    // A clock step the reading loop detected, and the samples excluded after it.
    static constexpr LONG ClockStepDetectedCode = EventCode::ClockStepDetected.Code;
    static constexpr LONG ClockStepExclusionCode = EventCode::ClockStepExcluded.Code;
    // Blackout windows the archive keeps besides the current published one: earlier published
    // windows and those after detected steps. Every window excludes the samples stamped in it.
    struct BlackoutWindow {
        ULONGLONG From = 0;
        ULONGLONG To = 0;
        bool Detected = false;
        int Excluded = 0;  // samples of the current pass
    };
    static constexpr int MaxBlackoutWindows = 16;
    BlackoutWindow BlackoutWindows[MaxBlackoutWindows];
    int BlackoutWindowCount = 0;
    ULONGLONG WindowedSyncTime = 0;  // the published time whose window is current
    // How often the idle archive thread looks at the block between passes.
    static constexpr DWORD ClockSyncPollMs = 1000;

    // --- Statistics periods --------------------------------------------------------------
    int StatisticsEnabled = 0;
    // Set by the archive loop for the last pass after a stop request: that pass closes the
    // partial statistics period. Archive thread only.
    bool FinalPass = false;
    // Stamp of the last sample accumulated, and whether the running period holds any;
    // archive thread only.
    FILETIME LastSampleStamp = {};
    bool PeriodHasSamples = false;
    FILETIME PeriodStart = {};
    FILETIME PeriodEnd = {};
    FILETIME DayStart = {};
    SYSTEMTIME PeriodStartTime = {};
    SYSTEMTIME PeriodEndTime = {};
    char StatsFilePath[TextSize] = {};

    // --- Flux periods --------------------------------------------------------------------
    // Set by the program before StartArchiveEngine; a Period of 0 (the engine's default)
    // computes no fluxes.
    flux::Settings FluxSettings = NoFluxes();
    char FluxFileTemplate[TextSize] = "lab0<YYJJJ>_flux.csv";
    static constexpr LONG FluxWriteFailedCode =
        EventCode::FluxWriteFailed.Code;  // a flux row could not be written
    static constexpr LONG FluxWrittenAgainCode =
        EventCode::FluxWrittenAgain.Code;  // flux rows are written again
    static constexpr LONG FluxMemoryCode =
        EventCode::FluxMemoryShort.Code;  // records left out for want of memory
    // The good records of the current pass as their raw lines give them back (stamps to the
    // millisecond of the raw time key, values as written), handed over by the instrument's
    // ProcessRawSamples; archive thread only.
    std::vector<flux::Record> FluxRecords;
    bool FluxRecordsIncomplete = false;  // a record could not be handed over (no memory)
    std::unique_ptr<flux::PeriodStream> FluxStream;
    bool FluxWriteEpisode = false;  // rows failed since the last one written
    DWORD FluxRowsLost = 0;
    bool FluxMemoryEpisode = false;
    static flux::Settings NoFluxes() {
        flux::Settings settings;
        settings.Period = 0;
        return settings;
    }

    // --- Compression ---------------------------------------------------------------------
    SYSTEMTIME CompressionTime = {};
    FILETIME CompressionWindowStart = {};
    FILETIME CompressionThreshold = {};
    HANDLE CompressionThreadHandle = nullptr;
    char FilePattern[TextSize] = {};

    // --- Registry bookkeeping ------------------------------------------------------------
    RegEditor *CurrentRegEditor = nullptr;  // valid only during an update
    bool BookkeepingSuspended = false;      // an update failed; logged once per episode (5026)

    // State the archive thread keeps from pass to pass.
    struct ArchiveThreadState {
        SYSTEMTIME TakeTime = {};
        SYSTEMTIME PreviousTakeTime = {};
        char PreviousRawFileName[TextSize] = {};
        int TimeKeyWidth = 0;
        char Message[MessageSize] = {};
    };

    // Engine core.
    static unsigned __stdcall EngineThread(void *engine);
    void CheckProcessPriority();
    void CountLogicalProcessors();
    // Waits up to 10 s for the thread to end; terminates it and logs that otherwise.
    void EndThreadWithin(HANDLE thread, const char *role);

    // Archive engine: the thread body and its parts, callable on their own by tests.
    static unsigned __stdcall ArchiveThread(void *engine);
    void RunArchive();
    void BeginArchive(ArchiveThreadState &state);
    // One pass over Buffers[CurrentBuffer]; returns false when the archive loop should end.
    bool ArchivePass(ArchiveThreadState &state);
    // The pass's buffer of `count` records holding `size` bytes of text (keys aside): its text
    // is gathered and written to the raw file, then the kept text, the flux periods and the
    // bookkeeping; without room for the text the buffer's samples are lost and logged.
    void ArchiveBuffer(ArchiveThreadState &state, DWORD count, size_t size);
    void ArchiveRawSamples(ArchiveThreadState &state);
    // After the stop request: archives every buffer still handed over, in ring order from
    // `next`; the last pass closes the partial statistics period.
    void ArchiveAtStop(ArchiveThreadState &state, bool (&ready)[BufferCount], int next, bool archivedAny);
    // Appends text to the raw file at path, with the header of a new or empty file (for the
    // file-name time). Whole or nothing: a write that fails part-way cuts the file back to
    // its size before the write. Returns 0 or the system error; opened tells whether the
    // file could be opened.
    DWORD AppendRawText(const char *path, SYSTEMTIME time, const char *text, size_t size, bool &opened);
    // Keeps text whose write to the raw file name failed (up to KeptRawLimit) and opens the
    // episode with 5004.
    void KeepRawText(const char *name, SYSTEMTIME time, const char *text, size_t size, DWORD samples,
                     bool opened, DWORD error, const char *path);
    // Writes the text kept by earlier passes (at the stop: all of it) to the late files, in
    // order, and closes the episode with 5030 once nothing is left and nothing failed; at the
    // stop also when something is left, which is then lost.
    void WriteKeptRawText(bool atStop);
    // "<name up to its last '_' (else '.')>_late<rest>": lab02634213_raw.txt gives
    // lab02634213_late_raw.txt. False when the result does not fit.
    static bool LateRawFileName(const char *name, char *late, size_t size);
    // The raw file path of a name: in RawArchiveDirectory, or the name alone.
    bool RawPathOf(const char *name, char *path, size_t size) const;

    // Screening.
    void OpenClockSyncBlock();
    // Closes the mutex, view and mapping of the clock-synchronisation block, whichever are open.
    void CloseClockSyncBlock();
    // Reads the published time under the block's mutex. A time that differs from the last one
    // read keeps the window of the one before it in force. The archive loop also calls this
    // between passes (every ClockSyncPollMs), so that a time replaced before the next pass
    // still has its window applied.
    void ReadClockSyncBlock();
    // Screens the current buffer: the clock steps it saw, each record's status, the pass's
    // entries on what was excluded, and a reinitialisation when no record was valid.
    void ScreenSamples();
    void AddBlackoutWindow(ULONGLONG from, ULONGLONG to, bool detected);
    // What screening counted in one pass, for its entries.
    struct ScreeningTally {
        int Blackout = 0;  // in the published blackout; BlackoutCount is ProcessRawSamples'
        int Garbled = 0;
        int CarriageReturnInside = 0;
        SYSTEMTIME FirstGarbled = {};
        int Misshapen = 0;
        SYSTEMTIME FirstMisshapen = {};
    };
    void LogClockSteps(const SampleBuffer &buffer, ULONGLONG blackoutSpan);
    void ScreenRecord(SampleRecord &record, ScreeningTally &tally);
    void LogScreeningTally(const ScreeningTally &tally);
    void LogBlackoutExclusions(int blackout);
    void ReinitializeWhenAllInvalid(DWORD count);

    // Statistics periods.
    void RunStatisticsTiming();
    void ArchiveStatistics();
    FILETIME NextPeriodBoundary(DWORD period, FILETIME base);

    // Flux periods: the pass's records go into the running period once its raw text is
    // written; each period closed by them is appended to the flux file of its start's day.
    // At the stop the running period is written with what it has.
    void ArchiveFlux(bool atStop);
    void WriteFluxRow(const flux::Result &result);

    // The entry that a data file's directory had to be made again (path: the file's).
    void LogDirectoryRemade(const char *path);
    // Moves the engine to the last processor of the process when its own does not exist.
    void UseExistingProcessor();

    // Compression.
    static unsigned __stdcall CompressionThread(void *engine);
    void CompressMatchingFiles(const char *directory, const char *fileTemplate);
    // Removes the zip library's temporary files of this data set's archives (FilePattern)
    // that an earlier, interrupted run left in the directory.
    void RemoveLeftoverTemporaries(const char *directory);
    static constexpr LONG LeftoverRemovedCode = EventCode::LeftoverTemporary.Code;

    // Registry bookkeeping.
    void UpdateArchiveBookkeeping(SYSTEMTIME time, int samples);
    // Logs the message with 5026 unless the bookkeeping is suspended already.
    void SuspendBookkeeping(const char *message);
};
