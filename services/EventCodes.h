// Every event code the program writes, in one table: the code, its symbolic name, its severity
// and the formats of its messages. Writers take the named entry (EventCode::PortLost) and its
// formats; readers (`kestrune status`, the station page, the publisher) classify the entries
// of a log through EventSeverityOf, so a code means the same thing everywhere.
//
// Most codes have one severity whatever their message. A few log the success and the failure
// of one step under one code (5001, 5101, 5103, and 5009, 5030, 5032 of ours); their entry
// names the text that only the failure messages hold: an entry holding it has the entry's
// severity, any other entry of the code is information.
#pragma once

#include <cstddef>

#include "platform/win32.h"

enum class EventSeverity { Information, Warning, Error };

struct EventCodeDefinition {
    static constexpr int MaxFormats = 3;
    LONG Code;
    const char *Name;  // the symbolic name, "PortLost"
    EventSeverity Severity;
    // For a code that logs success and failure: the text only its failure messages hold.
    const char *FailureText;
    // The message formats, printf-style; unused ones are null.
    const char *Formats[MaxFormats];
};

// X(code, name, severity, failure text or nullptr, formats...), in numeric order.
#define KESTRUNE_EVENT_CODES(X)                                                                              \
    X(5000, ProcessPrioritySet, Information, nullptr,                                                        \
      "%s: Data acquisition process priority successfully set to REALTIME_PRIORITY_CLASS.")                  \
    X(5001, ProcessSetup, Error, "Error",                                                                    \
      "%s: Error setting the data acquisition process priority to REALTIME_PRIORITY_CLASS.",                 \
      "There are %d logical processors available for data-acquisition thread dispatching.",                  \
      "Error acquiring logical processor informatiom for thread dispatching.")                               \
    X(5002, CompressionStarted, Information, nullptr,                                                        \
      "%s: Compressing data files with modification times older than %02d/%02d/%02d %02d:%02d:%02d")         \
    X(5003, StatisticsArchived, Information, nullptr,                                                        \
      "%s: Archiving statistics for the period %02d:%02d:%03d-%02d:%02d:%03d.")                              \
    X(5004, RawFileFailed, Error, nullptr,                                                                   \
      "%s: Error %s file %s (error %lu; %lu samples lost, %lu kept for a later write)")                      \
    X(5005, InvalidSample, Warning, nullptr,                                                                 \
      "%s: Invalid sample detected at %02d:%02d:%02d:%03d. The sample size of %d does not match the "        \
      "required sample size of %d. Sample excluded from archive.",                                           \
      "%s: Invalid sample detected at %02d:%02d:%02d:%03d. %d samples of this buffer hold bytes that are "   \
      "not "                                                                                                 \
      "printable text, or a blank in the status field. Samples excluded from archive.",                      \
      "%s: Invalid sample detected at %02d:%02d:%02d:%03d. %d samples of this buffer lack the instrument's " \
      "fields: an empty status field, fewer than %d fields, or a value that is not a number. Samples "       \
      "excluded from archive.")                                                                              \
    X(5006, BlackoutExcluded, Information, nullptr,                                                          \
      "%s: Excluding %d samples from the archive during the blackout period %02d/%02d/%02d "                 \
      "%02d:%02d:%02d:%03d to %02d/%02d/%02d %02d:%02d:%02d:%03d.")                                          \
    X(5007, SamplesInvalid, Warning, nullptr,                                                                \
      "%s: The last %d samples are invalid. Acquisition initialization started.")                            \
    X(5008, ReinitializationFinished, Information, nullptr, "%s: Acquisition initialization finished.")      \
    X(5009, CompressionReport, Error, "Error", "%s: ")                                                       \
    X(5010, StatisticsEnabled, Information, nullptr,                                                         \
      "%s: Statistics enabled with an averaging period of %d seconds.")                                      \
    X(5011, StatisticsNeedQualityControl, Warning, nullptr,                                                  \
      "%s: The quality control process, which is currently disabled, is required to calculate statistics. "  \
      "The statistics process has been disabled.")                                                           \
    X(5012, StatisticsDisabled, Information, nullptr, "%s: Statistics disabled.")                            \
    X(5013, RawArchivingEnabled, Information, nullptr,                                                       \
      "%s: Raw data archiving enabled with an archiving period of %d seconds.")                              \
    X(5014, RawArchivingDisabled, Information, nullptr, "%s: Raw data archiving disabled.")                  \
    X(5015, CompressionEnabled, Information, nullptr,                                                        \
      "%s: File compression enabled for files older than %d seconds.")                                       \
    X(5016, CompressionDisabled, Information, nullptr, "%s: File compression disabled.")                     \
    X(5017, ArchivePass, Information, nullptr, "%s: Archiving %d of %d raw data samples.",                   \
      " Excluded samples: Bad = %d  Blackout = %d  Edited = %d")                                             \
    X(5018, FileBufferMissing, Error, nullptr,                                                               \
      "%s: Error allocating memory for FileBuffer (%d samples lost)")                                        \
    X(5019, AllSamplesEmpty, Information, nullptr,                                                           \
      "%s:  All %d raw data samples are empty. No samples archived.")                                        \
    X(5020, StatsArchivePeriodInvalid, Warning, nullptr,                                                     \
      "%s: The specified StatsArchivePeriod is invalid (%d seconds). The default value of %d will be used.") \
    X(5021, ClockSyncMapFailed, Error, nullptr,                                                              \
      "%s: Error mapping shared memory for the clock synchronization time. Error code: %ld.")                \
    X(5022, ClockSyncCreateFailed, Error, nullptr,                                                           \
      "%s: Error creating shared memory for the clock synchronization time  Error code: %ld.")               \
    X(5023, ClockSyncMutexFailed, Error, nullptr, "%s: Error acquiring mutex %s")                            \
    X(5024, ClockSyncMutexCreateFailed, Error, nullptr, "%s: CreateMutex() error creating mutex for %s")     \
    X(5025, CompressionSkipped, Warning, nullptr,                                                            \
      "%s: Compression run skipped: the previous run is still going.")                                       \
    X(5026, BookkeepingSuspended, Error, nullptr,                                                            \
      "%s: Error opening the registry key %s. Archive bookkeeping suspended.",                               \
      "%s: Error writing the registry value %s under %s (error %ld). Archive bookkeeping suspended.")        \
    X(5027, CarriageReturnInside, Warning, nullptr, "%s: %d lines with a carriage return inside.")           \
    X(5028, ClockStepDetected, Warning, nullptr,                                                             \
      "%s: Clock step of %+.3f seconds detected at %02d/%02d/%02d %02d:%02d:%02d:%03d.")                     \
    X(5029, ClockStepExcluded, Information, nullptr,                                                         \
      "%s: Excluding %d samples from the archive during the blackout period %02d/%02d/%02d "                 \
      "%02d:%02d:%02d:%03d to %02d/%02d/%02d %02d:%02d:%02d:%03d after a detected clock step.")              \
    X(5030, RawWritesEnded, Error, "could still not be written",                                             \
      "%s: Raw data files can be written again. %lu samples were kept and written late to their late "       \
      "files, "                                                                                              \
      "%lu samples lost.",                                                                                   \
      "%s: Raw data files could still not be written when the archive stopped. %lu samples were written "    \
      "late "                                                                                                \
      "to their late files, %lu samples lost.")                                                              \
    X(5031, DirectoryRemade, Warning, nullptr,                                                               \
      "%s: The directory %.*s was missing and has been made again.",                                         \
      "The directory %s was missing and has been made again.")                                               \
    X(5032, LeftoverTemporary, Warning, "could not be removed",                                              \
      "%s: Removed %s, a temporary file left by an interrupted compression run.",                            \
      "%s: A temporary file left by an interrupted compression run, %s, could not be removed (error %lu).")  \
    X(5033, RegistryStoreSetAside, Warning, nullptr,                                                         \
      "%s: The registry store %s could not be read (error %ld); it was moved aside as %s and a fresh store " \
      "begun.")                                                                                              \
    X(5100, EngineStartRequested, Information, nullptr, "%s: Data acquisition engine start requested.")      \
    X(5101, ProcessorAssignment, Error, "Error",                                                             \
      "%s: Successfully assigned the dedicated logical processor 'CPU %d' with affinity mask (%lu) to the "  \
      "data acquisition thread.",                                                                            \
      "%s: Error asigning a dedicated logical processor 'CPU %d' to the data acquisition thread. Error "     \
      "code: "                                                                                               \
      "%d")                                                                                                  \
    X(5102, EngineStopping, Information, nullptr, "%s: Stopping acquisition engine.")                        \
    X(5103, AcquisitionStart, Error, "Can't",                                                                \
      "%s: Can't start data acquisition. Either %s doesn't exist or is open in another application.",        \
      "%s: Can't start data acquisition. Failure configuring port-communication settings on %s.",            \
      "%s: Acquisition initialization started.")                                                             \
    X(5104, InitializationFinished, Information, nullptr, "%s: Acquisition initialization finished.")        \
    X(5105, ThreadTerminated, Error, nullptr,                                                                \
      "%s: The %s thread did not end within %lu ms of the stop request and was terminated.")                 \
    X(5106, ThreadPrioritySet, Information, nullptr,                                                         \
      "%s: Data acquisition engine thread priority successfully set to THREAD_PRIORITY_TIME_CRITICAL.")      \
    X(5107, ThreadPriorityFailed, Error, nullptr,                                                            \
      "%s: Error setting the data acquisition engine thread priority to THREAD_PRIORITY_TIME_CRITICAL.")     \
    X(5108, ProcessorFallback, Warning, nullptr,                                                             \
      "%s: This machine has no logical processor 'CPU %d' (%d processors); the data acquisition thread "     \
      "uses "                                                                                                \
      "'CPU %d', the last one the process may run on.",                                                      \
      "%s: The process affinity mask (%lu) names logical processors this machine does not have; the "        \
      "process "                                                                                             \
      "runs with the mask (%lu).")                                                                           \
    X(5109, ReadingPause, Warning, nullptr,                                                                  \
      "%s: Reading paused: %lu lines came in one read after a gap of %.3f s, faster than the serial line "   \
      "carries them; their stamps tell when they were read, not when they were sent.")                       \
    X(5212, ArchiveEngineStarting, Information, nullptr, "%s: Starting archive engine.")                     \
    X(5213, ArchiveWaitFailed, Error, nullptr,                                                               \
      "%s: The archive thread's wait failed (result %lu, error %lu). Archiving has ended.")                  \
    X(5214, CompressionThreadFailed, Error, nullptr,                                                         \
      "%s: The compression thread could not be started (error %lu). No compression run this hour.")          \
    X(5300, EngineStarted, Information, nullptr, "%s: Data acquisition engine started.")                     \
    X(5301, LinesLost, Error, nullptr,                                                                       \
      "%s: %lu instrument lines lost: every sample buffer was still held by the archive.")                   \
    X(5302, LinesCut, Error, nullptr, "%s: %lu over-long instrument lines cut to %d characters.")            \
    X(5303, PortLost, Error, nullptr,                                                                        \
      "%s: %s cannot be opened (error %lu). Acquisition waits for the port and tries it every %lu "          \
      "seconds.",                                                                                            \
      "%s: %s lost (error %lu). Acquisition interrupted; the port is tried again every %lu seconds.")        \
    X(5304, PortBack, Information, nullptr,                                                                  \
      "%s: %s is back. Acquisition resumed after an interruption since %04d-%02d-%02d "                      \
      "%02d:%02d:%02d.%03d UTC (%lu s).")                                                                    \
    X(5305, PortNeverAppeared, Error, nullptr,                                                               \
      "%s: %s did not appear within %lu seconds of the service's start. The service stops with exit "        \
      "code "                                                                                                \
      "%d.")                                                                                                 \
    X(5310, ClockUnsynchronisedAtStart, Warning, nullptr,                                                    \
      "%s: The system clock is not synchronised by a time service at the start; the time stamps follow an "  \
      "uncorrected clock.")                                                                                  \
    X(5311, ClockSynchronisationLost, Warning, nullptr,                                                      \
      "%s: The system clock is no longer synchronised by a time service; the time stamps follow an "         \
      "uncorrected clock.")                                                                                  \
    X(5312, ClockSynchronisedAgain, Information, nullptr,                                                    \
      "%s: The system clock is synchronised again (estimated error %.1f ms, maximum %.0f ms).")              \
    X(5313, ClockErrorHigh, Warning, nullptr,                                                                \
      "%s: The system clock's estimated error is %.1f ms, above %lu ms (maximum %.0f ms).")                  \
    X(5314, ClockErrorBack, Information, nullptr,                                                            \
      "%s: The system clock's estimated error is back to %.1f ms, within %lu ms.")                           \
    X(5315, SlowAdapter, Warning, nullptr,                                                                   \
      "%s: %s is a USB adapter whose latency timer is %lu ms: received bytes wait up to that long and "      \
      "the "                                                                                                 \
      "time stamps jitter as much. Set the adapter's latency timer to 1 ms (its latency_timer in sysfs, or " \
      "the driver's advanced port settings).",                                                               \
      "%s: %s refused low latency: its driver may hold received bytes back for several milliseconds and "    \
      "the time stamps jitter as much. Use an adapter whose driver allows it, or set its latency timer to "  \
      "1 "                                                                                                   \
      "ms.")                                                                                                 \
    X(5316, ClockStateUnknown, Warning, nullptr,                                                             \
      "%s: The system does not tell whether its clock is synchronised by a time service; check the time "    \
      "service by hand.")                                                                                    \
    X(6701, StatisticsFileFailed, Error, nullptr, "%s: Error opening file %s",                               \
      "%s: Error writing file %s (error %lu; the statistics of the period %02d:%02d:%03d-%02d:%02d:%03d "    \
      "are "                                                                                                 \
      "lost)")                                                                                               \
    X(6710, FluxWriteFailed, Error, nullptr,                                                                 \
      "%s: Error writing file %s (error %lu; the flux period from %s is lost)")                              \
    X(6711, FluxWrittenAgain, Information, nullptr,                                                          \
      "%s: Flux file %s written again; %lu flux periods were lost.")                                         \
    X(6712, FluxMemoryShort, Error, nullptr,                                                                 \
      "%s: Not enough memory for the flux period's records; the period is computed from fewer records than " \
      "were archived.")                                                                                      \
    X(6727, ReinitializationRefused, Warning, nullptr, "%s: Acquisition reinitialization already started.",  \
      "%s: Acquisition reinitialization can not be performed when the acquisition engine is stopped.")       \
    X(9997, DroppedEntries, Warning, nullptr,                                                                \
      "%lu event-log entries could not be written to the log and went to stderr.")                           \
    X(9998, LogStarting, Information, nullptr, "Starting event log.")

// The named entries: EventCode::PortLost is the entry of 5303.
namespace EventCode {
#define KESTRUNE_EVENT_CODE_ENTRY(code, name, severity, failure, ...) \
    inline constexpr EventCodeDefinition name{code, #name, EventSeverity::severity, failure, {__VA_ARGS__}};
KESTRUNE_EVENT_CODES(KESTRUNE_EVENT_CODE_ENTRY)
#undef KESTRUNE_EVENT_CODE_ENTRY
}  // namespace EventCode

// The whole table, in numeric order.
struct EventCodeTable {
    const EventCodeDefinition *const *First;
    std::size_t Count;
    const EventCodeDefinition *const *begin() const { return First; }
    const EventCodeDefinition *const *end() const { return First + Count; }
};
EventCodeTable AllEventCodes();

// The entry of a code; null for a code the table does not hold.
const EventCodeDefinition *FindEventCode(LONG code);

// The severity of one entry: the code's, or for a code that logs success and failure under
// one number, the code's when the message holds its failure text and information otherwise.
// A code the table does not hold (a log written by another program under the same name) is a
// warning: shown, but never counted as an error.
EventSeverity EventSeverityOf(LONG code, const char *message);
inline bool IsErrorEvent(LONG code, const char *message) {
    return EventSeverityOf(code, message) == EventSeverity::Error;
}

// "information", "warning", "error".
const char *SeverityName(EventSeverity severity);
