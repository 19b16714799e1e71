// SerialEventIO: the reading loop of the engine thread. It sleeps until the port reports the
// line terminator (or a stop, a reinitialization request or a buffer's hand-over deadline),
// then reads what the driver holds, splits it into lines and stores each as a SampleRecord.
//
// Time stamps: a line is stamped with the estimated arrival of its first byte (or, with
// TimeStampAtStart off, with the arrival reading of the bytes that brought its terminator).
// Every byte read comes with an arrival reading of the performance counter: where the platform
// keeps one per chunk the port's reader took in, that one; otherwise the reading taken just
// after ClearCommError, which covers every byte then queued. The bytes of a line after its
// first took their wire time at the port's line settings to arrive, so each reading of a chunk
// holding the line's bytes bounds the first byte's arrival (ArrivalEstimate.h); the tightest
// bound is placed relative to a clock reading taken as the loop wakes. Each wake-up's clock
// reading is checked against the performance counter for a step of the clock. Stamps never
// decrease between steps; after a step they follow the new clock. Buffers are filled in ring
// order; a buffer is written only while its SampleCount is 0 and belongs to the archive thread
// from its hand-over until the archive sets it back to 0.
#include "instrument/SerialEventIO.h"

#include <new>

#include "instrument/SerialComm.h"
#include "services/Win32Util.h"

namespace {

const DWORD WaitStop = WAIT_OBJECT_0;
const DWORD WaitReceiveFlag = WAIT_OBJECT_0 + 1;
const DWORD WaitReinit = WAIT_OBJECT_0 + 2;
// After a failed wait or a failed re-arm, how long to wait for a stop before trying again.
const DWORD RetryAfterFailureMs = 1000;

// The last error code, never 0: a failed call that left no code still counts as failed.
DWORD FailureCode() {
    const DWORD error = GetLastError();
    return error != 0 ? error : static_cast<DWORD>(ERROR_GEN_FAILURE);
}

}  // namespace

SerialEventIO::SerialEventIO(EventLog &eventLog) : SerialAcquisition(eventLog) {}

DWORD SerialEventIO::RunReadingLoop(SerialComm *port, HANDLE receiveFlagEvent) {
    port_ = port;
    CountsPerMillisecond = port->CountsPerMillisecond;
    fillCount_ = 0;
    lastStamp_ = 0;
    // The port was purged just before: the bytes up to the first terminator are the end of a
    // line whose beginning was discarded, and never a record of their own.
    discarding_ = true;
    haveClock_ = false;
    pendingStepCount_ = 0;
    cutPending_ = false;
    lossEpisode_ = false;
    lostInEpisode_ = 0;
    cutSinceLog_ = 0;
    portError_ = 0;
    chunkCount_ = 0;
    areaStart_ = 0;
    CharacterCounts =
        CharacterWireSeconds(BaudRate, Parity, DataBits, StopBits) * CountsPerMillisecond * 1000.0;
    FillRecord = &Buffers[FillBufferIndex].Records[0];

    // The port's wait could not be armed: the port is gone.
    if (receiveFlagEvent == nullptr)
        portError_ = ERROR_GEN_FAILURE;

    while (portError_ == 0) {
        DWORD timeout = INFINITE;
        if (fillCount_ > 0) {
            const ULONGLONG waited = GetTickCount64() - firstRecordTick_;
            timeout = waited >= HandOverDeadlineMs ? 0 : static_cast<DWORD>(HandOverDeadlineMs - waited);
        }

        const HANDLE waitSet[3] = {StopRequestEvent, receiveFlagEvent, ReinitRequestEvent};
        const DWORD result = WaitForMultipleObjects(3, waitSet, FALSE, timeout);

        if (result == WaitStop)
            break;
        if (result == WaitReceiveFlag) {
            // Re-arm before reading: a terminator that arrives after the read fires the new
            // wait, one that arrived before it is in what is read. (Setting the port's event
            // mask forgets events that came while no wait was armed.) A port that can no
            // longer be armed is gone; what it still holds is read first.
            const DWORD armed = port->ArmReceiveFlagWait(&receiveFlagEvent);
            ReadPort();
            if (armed != 0 && portError_ == 0)
                portError_ = armed;
        } else if (result == WaitReinit) {
            Reinitialize();
        } else if (result == WAIT_FAILED) {
            ++ReadErrors;
            if (WaitForSingleObject(StopRequestEvent, RetryAfterFailureMs) == WAIT_OBJECT_0)
                break;
        }

        if (fillCount_ > 0 && GetTickCount64() - firstRecordTick_ >= HandOverDeadlineMs)
            HandOverBuffer();
    }

    // Stop: keep the lines that are complete in the driver. Stop or a lost port: hand the
    // partial buffer over; an incomplete last line is dropped.
    if (portError_ == 0)
        ReadPort();
    const DWORD lost = portError_;
    HandOverBuffer();
    EndLossEpisode();
    LogCutLines();
    ReceiveAreaCount = 0;
    discarding_ = false;
    cutPending_ = false;
    port_ = nullptr;
    delete port;
    return lost;
}

void SerialEventIO::Reinitialize() {
    ResetEvent(ReinitRequestEvent);
    if (IsSignalled(AbortReinitEvent) || IsSignalled(StopRequestEvent))
        return;
    ++Reinitializations;
    InitializeInstrument(port_);
}

void SerialEventIO::ReadPort() {
    const ULONGLONG previousStamp = lastStamp_;
    const DWORD linesBefore = LinesReceived;
    const DWORD bytesBefore = BytesReceived;
    wakeFirstStamp_ = 0;
    ReadAvailable();
    NoteReadingPause(previousStamp, LinesReceived - linesBefore, BytesReceived - bytesBefore);
}

void SerialEventIO::NoteReadingPause(ULONGLONG previousStamp, DWORD lines, DWORD bytes) {
    // A pause of the reading (a suspended machine or process) shows as a gap well above any
    // instrument interval followed by more lines in one read than the line could carry in the
    // time their stamps span: they waited in the port and were stamped together.
    if (lines < 2 || previousStamp == 0 || wakeFirstStamp_ <= previousStamp || BaudRate == 0)
        return;
    const ULONGLONG gap = wakeFirstStamp_ - previousStamp;
    if (gap < PauseGapUnits)
        return;
    const ULONGLONG spread = lastStamp_ > wakeFirstStamp_ ? lastStamp_ - wakeFirstStamp_ : 0;
    const DWORD bitsPerByte = 1u + DataBits + StopBits + (Parity != 'N' && Parity != 0 ? 1u : 0u);
    const double wireUnits = static_cast<double>(bytes) * (bitsPerByte ? bitsPerByte : 10u) *
                             static_cast<double>(FileTimeUnitsPerSecond) / static_cast<double>(BaudRate);
    if (wireUnits <= static_cast<double>(spread))
        return;
    ++ReadingPauses;
    snprintf(EngineMessage, sizeof EngineMessage, EventCode::ReadingPause.Formats[0], Name,
             static_cast<unsigned long>(lines),
             static_cast<double>(gap) / static_cast<double>(FileTimeUnitsPerSecond));
    EventLogRef.Write(EventCode::ReadingPause, EngineMessage);
}

void SerialEventIO::ReadAvailable() {
    EngineReads.fetch_add(1, std::memory_order_relaxed);
    // One clock reading for the whole wake-up; arrivals are placed relative to it.
    LARGE_INTEGER counter;
    FILETIME now;
    if (ReadClocks != nullptr) {
        ReadClocks(ClockContext, &now, &counter);
    } else {
        QueryPerformanceCounter(&counter);
        GetSystemTimeAsFileTime(&now);
    }
    NoteWakeUpClock(now, counter.QuadPart);

    for (;;) {
        DWORD errors = 0;
        COMSTAT status = {};
        if (!ClearCommError(port_->PortHandle, &errors, &status)) {
            ++ReadErrors;
            portError_ = FailureCode();
            return;
        }
        if (status.cbInQue == 0)
            return;
        // What is queued now had arrived by now: the reading for platforms that keep none.
        LARGE_INTEGER queuedAt;
        QueryPerformanceCounter(&queuedAt);
        DWORD room = ReceiveAreaSize - ReceiveAreaCount;
        DWORD wanted = status.cbInQue < room ? status.cbInQue : room;
        DWORD got = 0;
        OVERLAPPED &block = port_->Overlapped[0];
        if (!ReadFile(port_->PortHandle, ReceiveArea + ReceiveAreaCount, wanted, &got, &block)) {
            if (GetLastError() != ERROR_IO_PENDING ||
                !GetOverlappedResult(port_->PortHandle, &block, &got, TRUE)) {
                ++ReadErrors;
                portError_ = FailureCode();
                return;
            }
        }
        if (got == 0)
            return;
        BytesReceived += got;
        CollectArrivals(got, status.cbInQue, queuedAt.QuadPart);
        ProcessReceived(got, now, counter.QuadPart);
    }
}

void SerialEventIO::CollectArrivals(DWORD got, DWORD queued, LONGLONG counter) {
    // The platform's chunk readings for the bytes just read; they add up to `got`.
    DWORD covered = 0;
    while (port_ != nullptr && covered < got) {
        const DWORD taken =
            KestruneGetCommChunkTimes(port_->PortHandle, layerChunks_,
                                      static_cast<DWORD>(sizeof layerChunks_ / sizeof layerChunks_[0]));
        if (taken == 0)
            break;
        for (DWORD i = 0; i < taken; ++i) {
            covered += layerChunks_[i].Bytes;
            NoteArrival(covered, layerChunks_[i].Arrival.QuadPart);
        }
    }
    // None: every byte queued at `counter`, those read and those still behind them, had come.
    if (covered == 0)
        NoteArrival(queued > got ? queued : got, counter);
}

void SerialEventIO::NoteArrival(DWORD bytes, LONGLONG counter) {
    const ULONGLONG end = areaStart_ + ReceiveAreaCount + bytes;
    if (chunkCount_ > 0 && end <= chunks_[chunkCount_ - 1].End)
        return;
    if (chunkCount_ == ChunkCapacity) {
        // Full (a long line of many small chunks): the oldest reading goes; the later ones
        // still bound the line's first byte.
        memmove(chunks_, chunks_ + 1, (ChunkCapacity - 1) * sizeof chunks_[0]);
        --chunkCount_;
    }
    chunks_[chunkCount_].End = end;
    chunks_[chunkCount_].Counter = counter;
    ++chunkCount_;
}

ULONGLONG SerialEventIO::StampOf(ULONGLONG byte, ULONGLONG last, ULONGLONG wakeStamp, LONGLONG wakeCounter,
                                 LONGLONG *arrival) const {
    *arrival = 0;
    int64_t estimate = 0;
    const bool known = TimeStampAtStart
                           ? EstimateByteArrival(byte, last, chunks_, chunkCount_, CharacterCounts, &estimate)
                           : ChunkReadingOf(last, chunks_, chunkCount_, &estimate);
    if (CountsPerMillisecond <= 0.0 || !known)
        return wakeStamp;
    *arrival = estimate;
    // Counter ticks to 100-ns units: 10,000 per millisecond.
    const double offset = static_cast<double>(estimate - wakeCounter) * 10000.0 / CountsPerMillisecond;
    const LONGLONG shift = static_cast<LONGLONG>(offset);
    return shift < 0 && static_cast<ULONGLONG>(-shift) > wakeStamp ? 0 : wakeStamp + shift;
}

void SerialEventIO::ProcessReceived(DWORD count, FILETIME wakeTime, LONGLONG wakeCounter) {
    const ULONGLONG wakeStamp = FileTimeToUnits(wakeTime);
    const DWORD end = ReceiveAreaCount + count;
    DWORD lineStart = 0;

    // A record that filled the whole receive area was cut only if its line goes on: a
    // terminator right after it means the line had exactly the area's length.
    if (cutPending_ && count > 0) {
        cutPending_ = false;
        if (ReceiveArea[ReceiveAreaCount] != LineTerminator) {
            ++LinesTruncated;
            ++cutSinceLog_;
        }
    }

    for (DWORD i = ReceiveAreaCount; i < end; ++i) {
        if (ReceiveArea[i] != LineTerminator)
            continue;
        ++LinesReceived;
        if (discarding_) {
            discarding_ = false;  // the end of a line already cut
        } else {
            const ULONGLONG terminator = areaStart_ + i;
            LONGLONG arrival = 0;
            const ULONGLONG stamp = StampOf(TimeStampAtStart ? areaStart_ + lineStart : terminator,
                                            terminator, wakeStamp, wakeCounter, &arrival);
            StoreLine(ReceiveArea + lineStart, i - lineStart, stamp, arrival);
        }
        lineStart = i + 1;
    }

    // Keep the incomplete tail for the next read.
    DWORD tail = end - lineStart;
    if (lineStart > 0 && tail > 0)
        memmove(ReceiveArea, ReceiveArea + lineStart, tail);
    ReceiveAreaCount = tail;
    areaStart_ += lineStart;

    if (ReceiveAreaCount == static_cast<DWORD>(ReceiveAreaSize)) {
        // A line longer than the receive area: its first part becomes the record, the rest up
        // to the next terminator is skipped.
        if (!discarding_) {
            const ULONGLONG areaEnd = areaStart_ + ReceiveAreaCount - 1;
            LONGLONG arrival = 0;
            const ULONGLONG stamp =
                StampOf(TimeStampAtStart ? areaStart_ : areaEnd, areaEnd, wakeStamp, wakeCounter, &arrival);
            StoreLine(ReceiveArea, ReceiveAreaCount, stamp, arrival);
            discarding_ = true;
            cutPending_ = true;  // counted once the next byte shows the line goes on
        }
        ReceiveAreaCount = 0;
        areaStart_ += ReceiveAreaSize;
    }

    // Readings of bytes no longer in the receive area are done with, but for the last of them:
    // the next line's bytes had not come when it was taken.
    DWORD done = 0;
    while (done + 1 < chunkCount_ && chunks_[done + 1].End <= areaStart_)
        ++done;
    if (done > 0) {
        memmove(chunks_, chunks_ + done, (chunkCount_ - done) * sizeof chunks_[0]);
        chunkCount_ -= done;
    }
}

bool SerialEventIO::ClaimFillBuffer() {
    if (fillCount_ > 0)
        return true;
    if (Buffers[FillBufferIndex].SampleCount.load(std::memory_order_acquire) != 0)
        return false;  // still the archive thread's
    EndLossEpisode();
    return true;
}

void SerialEventIO::StoreLine(const char *text, DWORD length, ULONGLONG stamp, LONGLONG arrival) {
    if (!ClaimFillBuffer()) {
        ++LinesLost;
        ++lostInEpisode_;
        lossEpisode_ = true;
        return;
    }
    SampleRecord &record = Buffers[FillBufferIndex].Records[fillCount_];
    // Reuse the record's text when it is known to be large enough.
    if (record.Text == nullptr || record.Length < 0 || static_cast<DWORD>(record.Length) < length) {
        delete[] record.Text;
        record.Text = new (std::nothrow) char[length + 1];
        record.Length = 0;
        if (record.Text == nullptr) {
            ++LinesLost;
            return;
        }
    }
    memcpy(record.Text, text, length);
    record.Text[length] = '\0';
    record.Length = static_cast<LONG>(length);
    record.Status = SampleGood;
    if (stamp < lastStamp_)
        stamp = lastStamp_;
    lastStamp_ = stamp;
    if (wakeFirstStamp_ == 0)
        wakeFirstStamp_ = stamp;
    record.TimeStamp = UnitsToFileTime(stamp);
    record.Spare = static_cast<ULONGLONG>(arrival);

    if (fillCount_ == 0)
        firstRecordTick_ = GetTickCount64();
    ++fillCount_;
    FillRecord = &Buffers[FillBufferIndex].Records[fillCount_ < SampleBuffer::Capacity ? fillCount_ : 0];
    if (fillCount_ == SampleBuffer::Capacity)
        HandOverBuffer();
}

void SerialEventIO::HandOverBuffer() {
    if (fillCount_ == 0)
        return;
    SampleBuffer &buffer = Buffers[FillBufferIndex];
    for (DWORD i = 0; i < pendingStepCount_; ++i)
        buffer.ClockSteps[i] = pendingSteps_[i];
    buffer.ClockStepCount = pendingStepCount_;
    pendingStepCount_ = 0;
    buffer.SampleCount.store(fillCount_, std::memory_order_release);
    SetEvent(buffer.BufferReadyEvent);
    ++BuffersHandedOver;
    BufferHandOvers.fetch_add(1, std::memory_order_relaxed);
    LogCutLines();
    FillBufferIndex = (FillBufferIndex + 1) % BufferCount;
    FillRecord = &Buffers[FillBufferIndex].Records[0];
    fillCount_ = 0;
}

void SerialEventIO::NoteWakeUpClock(FILETIME wallTime, LONGLONG counter) {
    const ULONGLONG wall = FileTimeToUnits(wallTime);
    if (counterFrequency_ == 0) {
        LARGE_INTEGER frequency = {};
        if (QueryPerformanceFrequency(&frequency))
            counterFrequency_ = frequency.QuadPart;
    }
    if (haveClock_ && counterFrequency_ > 0 && counter >= lastCounter_) {
        const LONGLONG elapsed = static_cast<LONGLONG>(static_cast<double>(counter - lastCounter_) *
                                                       static_cast<double>(FileTimeUnitsPerSecond) /
                                                       static_cast<double>(counterFrequency_));
        const LONGLONG difference = static_cast<LONGLONG>(wall - lastWall_) - elapsed;
        const LONGLONG allowed = ClockStepThresholdUnits + elapsed / ClockStepSlackDivisor;
        if (difference > allowed || difference < -allowed) {
            ++ClockStepsDetected;
            // The lines before the step keep a buffer of their own, whose stamps rise.
            HandOverBuffer();
            ClockStep step;
            step.DetectedAt = wall;
            step.From = static_cast<ULONGLONG>(elapsed) < wall ? wall - static_cast<ULONGLONG>(elapsed) : 0;
            step.Size = difference;
            if (pendingStepCount_ < SampleBuffer::MaxClockSteps) {
                pendingSteps_[pendingStepCount_++] = step;
            } else {
                // No room: the last window grows to cover this one as well.
                ClockStep &last = pendingSteps_[SampleBuffer::MaxClockSteps - 1];
                last.From = last.From < step.From ? last.From : step.From;
                last.DetectedAt = last.DetectedAt > step.DetectedAt ? last.DetectedAt : step.DetectedAt;
            }
            lastStamp_ = 0;  // the stamps follow the new clock
        }
    }
    haveClock_ = true;
    lastWall_ = wall;
    lastCounter_ = counter;
}

void SerialEventIO::CheckAdapterLatency(HANDLE portHandle) {
    KESTRUNE_COMM_LATENCY latency = {};
    if (!KestruneGetCommLatency(portHandle, &latency))
        return;
    char portName[MAX_PATH];
    PortName(portName, sizeof portName);
    if (latency.LatencyTimerMs > 1) {
        snprintf(EngineMessage, sizeof EngineMessage, EventCode::SlowAdapter.Formats[0], Name, portName,
                 static_cast<unsigned long>(latency.LatencyTimerMs));
        EventLogRef.Write(EventCode::SlowAdapter, EngineMessage);
    } else if (latency.LowLatencyRefused) {
        snprintf(EngineMessage, sizeof EngineMessage, EventCode::SlowAdapter.Formats[1], Name, portName);
        EventLogRef.Write(EventCode::SlowAdapter, EngineMessage);
    }
}

void SerialEventIO::EndLossEpisode() {
    if (!lossEpisode_)
        return;
    snprintf(EngineMessage, sizeof EngineMessage, EventCode::LinesLost.Formats[0], Name,
             static_cast<unsigned long>(lostInEpisode_));
    EventLogRef.Write(EventCode::LinesLost, EngineMessage);
    lossEpisode_ = false;
    lostInEpisode_ = 0;
}

void SerialEventIO::LogCutLines() {
    if (cutSinceLog_ == 0)
        return;
    snprintf(EngineMessage, sizeof EngineMessage, EventCode::LinesCut.Formats[0], Name,
             static_cast<unsigned long>(cutSinceLog_), ReceiveAreaSize);
    EventLogRef.Write(EventCode::LinesCut, EngineMessage);
    cutSinceLog_ = 0;
}
