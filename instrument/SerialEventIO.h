// Event-driven reading: the port raises an event when the line terminator arrives, and the
// engine thread sleeps until then.
#pragma once

#include "instrument/ArrivalEstimate.h"
#include "instrument/SerialAcquisition.h"

class SerialEventIO : public SerialAcquisition {
public:
    // A buffer whose first record has waited this long is handed to the archive thread even
    // when it is not full, so that a slow or silent instrument still gets archived and a crash
    // loses little.
    static constexpr DWORD DefaultHandOverDeadlineMs = 10000;
    // Event-log codes of the reading loop.
    static constexpr LONG LinesLostCode = EventCode::LinesLost.Code;  // lines lost: no free sample buffer
    static constexpr LONG LinesCutCode = EventCode::LinesCut.Code;  // over-long lines cut to the receive area
    static constexpr LONG PortLostCode = EventCode::PortLost.Code;  // the port is missing or lost; retried
    static constexpr LONG PortBackCode = EventCode::PortBack.Code;  // the port is back; acquisition resumed
    static constexpr LONG SlowAdapterCode =
        EventCode::SlowAdapter.Code;  // a USB adapter that holds received bytes back
    static constexpr LONG ReadingPauseCode =
        EventCode::ReadingPause.Code;  // the reading was paused; lines came at once
    // A gap between lines that no instrument setting comes near: 1 s.
    static constexpr ULONGLONG PauseGapUnits = 10000000;
    // How long a missing or lost port is waited for before it is tried again.
    static constexpr DWORD DefaultReopenIntervalMs = 5000;

    // A clock step: the wall clock's advance between two wake-ups differs from the performance
    // counter's by more than 100 ms plus 0.1 % of the time between them. Time-service slewing
    // stays below 0.05 %, and the coarsest system-clock tick (15.6 ms) well below 100 ms.
    static constexpr LONGLONG ClockStepThresholdUnits = 1000000;  // 100 ms in 100-ns units
    static constexpr LONGLONG ClockStepSlackDivisor = 1000;       // plus 1/1000 of the interval

    // Reads the wall clock (UTC) and the performance counter together at a wake-up. Null:
    // GetSystemTimeAsFileTime and QueryPerformanceCounter. Tests put a clock of their own here.
    using ClockReader = void (*)(void *context, FILETIME *wallTime, LARGE_INTEGER *counter);

    explicit SerialEventIO(EventLog &eventLog);

    // Waits on {StopRequestEvent, receiveFlagEvent, ReinitRequestEvent}, stores each line
    // ended by LineTerminator as a record and hands buffers over when full or at the
    // deadline. Ends on StopRequestEvent (reads what is left) or when the port fails (hung
    // up, removed, a failed read): hands the partial buffer over and deletes the port.
    // Returns 0 after a stop, else the error code of the failed port.
    DWORD RunReadingLoop(SerialComm *port, HANDLE receiveFlagEvent);

    // Takes `count` bytes newly placed at ReceiveArea[ReceiveAreaCount]: stores every complete
    // line, keeps the incomplete tail, cuts over-long lines. `wakeTime` and `wakeCounter` are
    // a clock reading and the performance-counter reading taken with it. A line is stamped
    // with the estimated arrival of its first byte (when TimeStampAtStart is false, with the
    // reading of the bytes that brought its terminator), from the arrival readings noted for
    // its bytes (NoteArrival), placed relative
    // to the wake-up's clock reading; a line none of whose bytes has a reading is stamped
    // with wakeTime.
    void ProcessReceived(DWORD count, FILETIME wakeTime, LONGLONG wakeCounter);

    // Notes an arrival reading: the `bytes` bytes after the receive area's end (those to be
    // given to ProcessReceived next, and any still queued behind them) had all arrived when
    // the performance counter read `counter`. Readings come in stream order; one that ends
    // no later than the previous one adds nothing and is dropped.
    void NoteArrival(DWORD bytes, LONGLONG counter);

    // Where a record's stamp is placed: at the estimated arrival of the line's first byte
    // (the default), or at the reading of the bytes that brought its terminator.
    bool TimeStampAtStart = true;
    // The wire time of one character of the port's line settings, in performance-counter
    // counts; set from BaudRate, Parity, DataBits and StopBits when the loop starts.
    double CharacterCounts = 0.0;

    // Gives the filled part of the current buffer to the archive thread, with the clock steps
    // detected since the last hand-over.
    void HandOverBuffer();

    // Logs (SlowAdapterCode) a port whose USB adapter holds what it receives back for longer
    // than 1 ms: its driver refused low latency, or its latency timer is above 1 ms. A line's
    // bytes then come in late bunches, and its stamp jitters by up to that much.
    void CheckAdapterLatency(HANDLE portHandle);

    // Compares the clock reading of this wake-up with the previous one (see
    // ClockStepThresholdUnits). On a step, the lines stored so far are handed over, the step
    // goes with the next buffer, and the stamps that follow take the new clock, even when that
    // is earlier; between steps stamps never decrease, across wake-ups and buffers alike.
    void NoteWakeUpClock(FILETIME wallTime, LONGLONG counter);

    ClockReader ReadClocks = nullptr;
    void *ClockContext = nullptr;
    DWORD ClockStepsDetected = 0;
    DWORD ReadingPauses = 0;  // pauses detected and logged (5109)

    DWORD HandOverDeadlineMs = DefaultHandOverDeadlineMs;
    DWORD ReopenIntervalMs = DefaultReopenIntervalMs;
    // Performance-counter counts per millisecond, from the port's calibration.
    double CountsPerMillisecond = 0.0;

private:
    void ReadPort();
    void ReadAvailable();
    // Logs a pause of the reading detected in the wake-up just read (see ReadingPauseCode).
    void NoteReadingPause(ULONGLONG previousStamp, DWORD lines, DWORD bytes);
    void StoreLine(const char *text, DWORD length, ULONGLONG stamp, LONGLONG arrival);
    bool ClaimFillBuffer();
    void EndLossEpisode();
    void LogCutLines();
    void CollectArrivals(DWORD got, DWORD queued, LONGLONG counter);
    ULONGLONG StampOf(ULONGLONG byte, ULONGLONG last, ULONGLONG wakeStamp, LONGLONG wakeCounter,
                      LONGLONG *arrival) const;
    void Reinitialize();

    SerialComm *port_ = nullptr;
    DWORD fillCount_ = 0;            // records in the buffer being filled
    ULONGLONG firstRecordTick_ = 0;  // GetTickCount64 when its first record was stored
    ULONGLONG lastStamp_ = 0;        // latest stamp stored since the start or the last step
    ULONGLONG wakeFirstStamp_ = 0;   // stamp of the first line stored in this wake-up
    bool discarding_ = false;        // skipping the rest of a line: over-long, or begun before a purge
    bool cutPending_ = false;        // a record filled the receive area; cut if the line goes on
    DWORD portError_ = 0;            // why the port failed; 0 while it works
    bool lossEpisode_ = false;
    DWORD lostInEpisode_ = 0;
    DWORD cutSinceLog_ = 0;
    // Arrival readings of the bytes from the receive area's start on, in stream order; the
    // stream offset of ReceiveArea[0] is areaStart_.
    static constexpr DWORD ChunkCapacity = 1024;
    ArrivalChunk chunks_[ChunkCapacity] = {};
    DWORD chunkCount_ = 0;
    ULONGLONG areaStart_ = 0;
    KESTRUNE_COMM_CHUNK layerChunks_[256] = {};
    bool haveClock_ = false;  // the previous wake-up's clock reading
    ULONGLONG lastWall_ = 0;
    LONGLONG lastCounter_ = 0;
    LONGLONG counterFrequency_ = 0;
    ClockStep pendingSteps_[SampleBuffer::MaxClockSteps] = {};
    DWORD pendingStepCount_ = 0;

protected:
    // Messages of the engine thread, apart from the shared Message buffer.
    char EngineMessage[MessageSize] = {};
};
