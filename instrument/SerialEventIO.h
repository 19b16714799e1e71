// Event-driven reading: the port raises an event when the line terminator arrives, and the
// engine thread sleeps until then.
#pragma once

#include "instrument/SerialAcquisition.h"

class SerialEventIO : public SerialAcquisition {
public:
    // A buffer whose first record has waited this long is handed to the archive thread even
    // when it is not full, so that a slow or silent instrument still gets archived and a crash
    // loses little.
    static constexpr DWORD DefaultHandOverDeadlineMs = 10000;
    // Event-log codes of the reading loop.
    static constexpr LONG LinesLostCode = 5301;  // lines lost: no free sample buffer
    static constexpr LONG LinesCutCode = 5302;   // over-long lines cut to the receive area

    explicit SerialEventIO(EventLog &eventLog);

    // Waits on {StopRequestEvent, receiveFlagEvent, ReinitRequestEvent}, stores each line
    // ended by LineTerminator as a record and hands buffers over when full or at the
    // deadline. Ends on StopRequestEvent: reads what is left, hands the partial buffer over
    // and deletes the port.
    void RunReadingLoop(SerialComm *port, HANDLE receiveFlagEvent);

    // Takes `count` bytes newly placed at ReceiveArea[ReceiveAreaCount]: stores every complete
    // line, keeps the incomplete tail, cuts over-long lines. `wakeTime` and `wakeCounter` are
    // a clock reading and the performance-counter reading taken with it; lines whose
    // terminator arrival is not known are stamped with wakeTime.
    void ProcessReceived(DWORD count, FILETIME wakeTime, LONGLONG wakeCounter);

    // Gives the filled part of the current buffer to the archive thread.
    void HandOverBuffer();

    DWORD HandOverDeadlineMs = DefaultHandOverDeadlineMs;
    // Performance-counter counts per millisecond, from the port's calibration.
    double CountsPerMillisecond = 0.0;

private:
    void ReadPort();
    void StoreLine(const char *text, DWORD length, ULONGLONG stamp, LONGLONG arrival);
    bool ClaimFillBuffer();
    void EndLossEpisode();
    void LogCutLines();
    LONGLONG NextArrival();
    void Reinitialize();

    SerialComm *port_ = nullptr;
    DWORD fillCount_ = 0;            // records in the buffer being filled
    ULONGLONG firstRecordTick_ = 0;  // GetTickCount64 when its first record was stored
    ULONGLONG lastStamp_ = 0;        // latest stamp in the buffer being filled
    bool discarding_ = false;        // skipping the rest of an over-long line
    bool lossEpisode_ = false;
    DWORD lostInEpisode_ = 0;
    DWORD cutSinceLog_ = 0;
    LARGE_INTEGER arrivals_[256] = {};
    DWORD arrivalCount_ = 0;
    DWORD arrivalNext_ = 0;

protected:
    // Messages of the engine thread, apart from the shared Message buffer.
    char EngineMessage[MessageSize] = {};
};
