// Sample screening and the clock-synchronisation blackout.
//
// Another program publishes the UTC time of each clock step in the 16-byte named mapping
// "ClockSyncFileMap", guarded by the named mutex "ClockSyncMutex". Samples stamped inside the
// window from that time to BlackoutPeriod seconds after it are excluded from the archive;
// with a required sample size, records of another length are marked bad, and so are records
// that are garbled or lack the instrument line's fields. A buffer without
// a single good sample asks the engine thread to reinitialize the instrument.
#include "acquisition/DataAcquisition.h"
#include "services/StationFormats.h"
#include "services/Win32Util.h"

namespace {

// A wait that returns WAIT_ABANDONED has acquired the mutex as well.
bool Acquired(DWORD wait) {
    return wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
}

// What is wrong with a record's bytes: a byte outside printable ASCII (the carriage return or
// line feed that ends the line apart), or a blank in the first field when the fields'
// separator is known. A carriage return followed by more text, the mark of an instrument that
// ends its lines with CR alone, is reported as well.
struct TextCheck {
    bool Garbled = false;
    bool CarriageReturnInside = false;
};

TextCheck CheckRecordText(const SampleRecord &record, char separator) {
    TextCheck check;
    if (record.Text == nullptr || record.Length <= 0)
        return check;
    LONG length = record.Length;
    while (length > 0 && (record.Text[length - 1] == '\r' || record.Text[length - 1] == '\n'))
        --length;  // the line's own end
    bool firstField = separator != 0;
    for (LONG i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(record.Text[i]);
        if (c == static_cast<unsigned char>(separator))
            firstField = false;
        if (c < 0x20 || c > 0x7E || (c == ' ' && firstField))
            check.Garbled = true;
        if (c == '\r')
            check.CarriageReturnInside = true;
    }
    return check;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
bool MatchesNoCase(const char *text, const char *end, const char *word) {
    for (; *word != '\0'; ++text, ++word)
        if (text == end || (*text | 0x20) != *word)
            return false;
    return text == end;
}

// Whether [text, end) is wholly one value: blanks, an optional sign, then either a decimal
// number (digits with an optional point and fraction, or a point and digits, then an optional
// exponent) or one of the words that read as missing, then blanks.
bool IsValueField(const char *text, const char *end) {
    while (text != end && IsBlank(*text))
        ++text;
    while (end != text && IsBlank(end[-1]))
        --end;
    if (text != end && (*text == '+' || *text == '-'))
        ++text;
    if (MatchesNoCase(text, end, "nan") || MatchesNoCase(text, end, "inf") ||
        MatchesNoCase(text, end, "infinity"))
        return true;
    int digits = 0;
    for (; text != end && IsDigit(*text); ++text)
        ++digits;
    if (text != end && *text == '.')
        for (++text; text != end && IsDigit(*text); ++text)
            ++digits;
    if (digits == 0)
        return false;
    if (text != end && (*text == 'e' || *text == 'E')) {
        ++text;
        if (text != end && (*text == '+' || *text == '-'))
            ++text;
        if (text == end || !IsDigit(*text))
            return false;
        while (text != end && IsDigit(*text))
            ++text;
    }
    return text == end;
}

// Whether a record has the fields of the instrument's line: a status, at least `required`
// fields, and values where the instrument sends numbers.
bool HasInstrumentShape(const SampleRecord &record, char separator, int required, int firstNumeric,
                        int lastNumeric) {
    if (separator == 0 || required <= 0)
        return true;
    const char *text = record.Text != nullptr && record.Length > 0 ? record.Text : "";
    const char *end = text + (record.Text != nullptr && record.Length > 0 ? record.Length : 0);
    while (end != text && (end[-1] == '\r' || end[-1] == '\n'))
        --end;  // the line's own end
    int field = 0;
    for (const char *start = text;; ++field) {
        const char *stop = start;
        while (stop != end && *stop != separator)
            ++stop;
        const int number = field + 1;
        if (number == 1 && stop == start)
            return false;  // no status
        if (number >= firstNumeric && number <= lastNumeric && stop != start && !IsValueField(start, stop))
            return false;
        if (stop == end) {
            ++field;
            break;
        }
        start = stop + 1;
    }
    return field >= required;
}

}  // namespace

void DataAcquisition::OpenClockSyncBlock() {
    char message[MessageSize];

    ClockSyncMutex = CreateMutexA(nullptr, FALSE, ClockSyncMutexName);
    if (!ClockSyncMutex) {
        snprintf(message, sizeof message, EventCode::ClockSyncMutexCreateFailed.Formats[0], Name,
                 ClockSyncMutexName);
        EventLogRef.Write(EventCode::ClockSyncMutexCreateFailed, message);
        return;
    }
    if (!Acquired(WaitForSingleObject(ClockSyncMutex, INFINITE))) {
        snprintf(message, sizeof message, EventCode::ClockSyncMutexFailed.Formats[0], Name,
                 ClockSyncMutexName);
        EventLogRef.Write(EventCode::ClockSyncMutexFailed, message);
        return;
    }

    ClockSyncMapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                          ClockSyncBlockSize, ClockSyncMapName);
    if (!ClockSyncMapping) {
        snprintf(message, sizeof message, EventCode::ClockSyncCreateFailed.Formats[0], Name,
                 static_cast<long>(GetLastError()));
        EventLogRef.Write(EventCode::ClockSyncCreateFailed, message);
        ReleaseMutex(ClockSyncMutex);
        return;
    }
    ClockSyncView = MapViewOfFile(ClockSyncMapping, FILE_MAP_ALL_ACCESS, 0, 0, ClockSyncBlockSize);
    if (!ClockSyncView) {
        snprintf(message, sizeof message, EventCode::ClockSyncMapFailed.Formats[0], Name,
                 static_cast<long>(GetLastError()));
        EventLogRef.Write(EventCode::ClockSyncMapFailed, message);
        ReleaseMutex(ClockSyncMutex);
        return;
    }

    ClockSyncActive = 1;
    ReleaseMutex(ClockSyncMutex);
}

void DataAcquisition::AddBlackoutWindow(ULONGLONG from, ULONGLONG to, bool detected) {
    // The oldest window makes room: after so many steps its samples are long archived.
    if (BlackoutWindowCount == MaxBlackoutWindows) {
        for (int w = 1; w < MaxBlackoutWindows; ++w)
            BlackoutWindows[w - 1] = BlackoutWindows[w];
        --BlackoutWindowCount;
    }
    BlackoutWindow &window = BlackoutWindows[BlackoutWindowCount++];
    window.From = from;
    window.To = to;
    window.Detected = detected;
    window.Excluded = 0;
}

void DataAcquisition::ReadClockSyncBlock() {
    // The block is read under its mutex; a failed wait keeps the previous time.
    if (ClockSyncActive == 1) {
        if (Acquired(WaitForSingleObject(ClockSyncMutex, INFINITE))) {
            memcpy(&ClockSyncTime, ClockSyncView, sizeof ClockSyncTime);
            ReleaseMutex(ClockSyncMutex);
        }
    } else {
        memset(&ClockSyncTime, 0, sizeof ClockSyncTime);
    }

    // An all-zero or otherwise invalid time does not convert and keeps the previous one,
    // which is the year 1601 until a valid time has been read.
    FILETIME sync;
    if (SystemTimeToFileTime(&ClockSyncTime, &sync))
        SyncFileTime = FileTimeToUnits(sync);
    const ULONGLONG blackoutSpan = static_cast<ULONGLONG>(BlackoutPeriod) * FileTimeUnitsPerSecond;
    BlackoutEnd = SyncFileTime + blackoutSpan;

    // Every window stays in force, not just the latest: a newly published time keeps the
    // window of the one before it.
    if (SyncFileTime != WindowedSyncTime) {
        if (WindowedSyncTime != 0)
            AddBlackoutWindow(WindowedSyncTime, WindowedSyncTime + blackoutSpan, false);
        WindowedSyncTime = SyncFileTime;
    }
}

void DataAcquisition::ScreenSamples() {
    SampleBuffer &buffer = Buffers[CurrentBuffer];
    const DWORD count = buffer.SampleCount.load(std::memory_order_acquire);

    ValidCount = 0;

    ReadClockSyncBlock();
    const ULONGLONG blackoutSpan = static_cast<ULONGLONG>(BlackoutPeriod) * FileTimeUnitsPerSecond;
    LogClockSteps(buffer, blackoutSpan);
    for (int w = 0; w < BlackoutWindowCount; ++w)
        BlackoutWindows[w].Excluded = 0;

    ScreeningTally tally;
    for (CurrentSample = 0; CurrentSample < count && CurrentSample < SampleBuffer::Capacity; ++CurrentSample)
        ScreenRecord(buffer.Records[CurrentSample], tally);

    LogScreeningTally(tally);
    LogBlackoutExclusions(tally.Blackout);
    ReinitializeWhenAllInvalid(count);
}

// Each clock step the engine detected while filling this buffer adds a window from the
// earliest moment of the step to BlackoutPeriod after its detection, as if its time had been
// published.
void DataAcquisition::LogClockSteps(const SampleBuffer &buffer, ULONGLONG blackoutSpan) {
    char message[MessageSize];
    const DWORD steps = buffer.ClockStepCount < SampleBuffer::MaxClockSteps ? buffer.ClockStepCount
                                                                            : SampleBuffer::MaxClockSteps;
    for (DWORD i = 0; i < steps; ++i) {
        const ClockStep &step = buffer.ClockSteps[i];
        SYSTEMTIME at = {};
        const FILETIME detected = UnitsToFileTime(step.DetectedAt);
        FileTimeToSystemTime(&detected, &at);
        snprintf(message, sizeof message, EventCode::ClockStepDetected.Formats[0], Name,
                 static_cast<double>(step.Size) / static_cast<double>(FileTimeUnitsPerSecond), at.wMonth,
                 at.wDay, at.wYear % 100, at.wHour, at.wMinute, at.wSecond, at.wMilliseconds);
        EventLogRef.Write(EventCode::ClockStepDetected, message);
        if (BlackoutPeriod != 0)
            AddBlackoutWindow(step.From, step.DetectedAt + blackoutSpan, true);
    }
}

// Gives the record its status: in a blackout, of the wrong size, garbled, not shaped like the
// instrument's lines, or good.
void DataAcquisition::ScreenRecord(SampleRecord &record, ScreeningTally &tally) {
    char message[MessageSize];
    const ULONGLONG stamp = FileTimeToUnits(record.TimeStamp);
    BlackoutWindow *window = nullptr;
    for (int w = 0; w < BlackoutWindowCount && window == nullptr; ++w)
        if (BlackoutWindows[w].From <= stamp && stamp <= BlackoutWindows[w].To)
            window = &BlackoutWindows[w];
    if (SyncFileTime <= stamp && stamp <= BlackoutEnd) {
        record.Status = SampleBlackout;
        ++tally.Blackout;
    } else if (window != nullptr) {
        record.Status = SampleBlackout;
        ++window->Excluded;
    } else if (RequiredSampleSize != 0 && record.Length != RequiredSampleSize) {
        SYSTEMTIME at = {};
        FileTimeToSystemTime(&record.TimeStamp, &at);
        snprintf(message, sizeof message, EventCode::InvalidSample.Formats[0], Name, at.wHour, at.wMinute,
                 at.wSecond, at.wMilliseconds, static_cast<int>(record.Length), RequiredSampleSize);
        EventLogRef.Write(EventCode::InvalidSample, message);
        record.Status = SampleBad;
    } else if (const TextCheck check = CheckRecordText(record, FieldSeparator); check.Garbled) {
        // Such a record is garbled on the line; it stays out of the files and the statistics,
        // and the pass reports all of them in one entry.
        if (tally.Garbled++ == 0)
            FileTimeToSystemTime(&record.TimeStamp, &tally.FirstGarbled);
        if (check.CarriageReturnInside)
            ++tally.CarriageReturnInside;
        record.Status = SampleBad;
    } else if (!HasInstrumentShape(record, FieldSeparator, RequiredFieldCount, FirstNumericField,
                                   LastNumericField)) {
        // Line noise that happens to be printable: it is no sample either.
        if (tally.Misshapen++ == 0)
            FileTimeToSystemTime(&record.TimeStamp, &tally.FirstMisshapen);
        record.Status = SampleBad;
    } else {
        record.Status = SampleGood;
        ++ValidCount;
    }
}

// One entry each for the pass's garbled records, its misshapen ones and its lines with a
// carriage return inside.
void DataAcquisition::LogScreeningTally(const ScreeningTally &tally) {
    char message[MessageSize];
    const SYSTEMTIME &firstGarbled = tally.FirstGarbled;
    const SYSTEMTIME &firstMisshapen = tally.FirstMisshapen;
    const int garbled = tally.Garbled, misshapen = tally.Misshapen;
    if (garbled != 0) {
        snprintf(message, sizeof message, EventCode::InvalidSample.Formats[1], Name, firstGarbled.wHour,
                 firstGarbled.wMinute, firstGarbled.wSecond, firstGarbled.wMilliseconds, garbled);
        EventLogRef.Write(EventCode::InvalidSample, message);
    }
    if (misshapen != 0) {
        snprintf(message, sizeof message, EventCode::InvalidSample.Formats[2], Name, firstMisshapen.wHour,
                 firstMisshapen.wMinute, firstMisshapen.wSecond, firstMisshapen.wMilliseconds, misshapen,
                 RequiredFieldCount);
        EventLogRef.Write(EventCode::InvalidSample, message);
    }
    if (tally.CarriageReturnInside != 0) {
        snprintf(message, sizeof message, EventCode::CarriageReturnInside.Formats[0], Name,
                 tally.CarriageReturnInside);
        EventLogRef.Write(EventCode::CarriageReturnInside, message);
    }
}

// One entry for the samples in the published blackout, and one for each earlier or detected
// window that excluded samples in this pass.
void DataAcquisition::LogBlackoutExclusions(int blackout) {
    char message[MessageSize];
    if (blackout != 0) {
        BlackoutEndTime = ClockSyncTime;
        FILETIME start;
        if (SystemTimeToFileTime(&ClockSyncTime, &start)) {
            FILETIME end = UnitsToFileTime(FileTimeToUnits(start) +
                                           static_cast<ULONGLONG>(BlackoutPeriod) * FileTimeUnitsPerSecond);
            SYSTEMTIME converted;
            if (FileTimeToSystemTime(&end, &converted))
                BlackoutEndTime = converted;
        }
        const SYSTEMTIME &from = ClockSyncTime;
        const SYSTEMTIME &to = BlackoutEndTime;
        snprintf(message, sizeof message, EventCode::BlackoutExcluded.Formats[0], Name, blackout, from.wMonth,
                 from.wDay, from.wYear % 100, from.wHour, from.wMinute, from.wSecond, from.wMilliseconds,
                 to.wMonth, to.wDay, to.wYear % 100, to.wHour, to.wMinute, to.wSecond, to.wMilliseconds);
        EventLogRef.Write(EventCode::BlackoutExcluded, message);
    }

    for (int w = 0; w < BlackoutWindowCount; ++w) {
        const BlackoutWindow &window = BlackoutWindows[w];
        if (window.Excluded == 0)
            continue;
        SYSTEMTIME from = {}, to = {};
        const FILETIME fromTime = UnitsToFileTime(window.From), toTime = UnitsToFileTime(window.To);
        FileTimeToSystemTime(&fromTime, &from);
        FileTimeToSystemTime(&toTime, &to);
        // A window of a detected step has its own code; a published one is the design's 5006.
        const EventCodeDefinition &code =
            window.Detected ? EventCode::ClockStepExcluded : EventCode::BlackoutExcluded;
        snprintf(message, sizeof message,
                 window.Detected ? EventCode::ClockStepExcluded.Formats[0]
                                 : EventCode::BlackoutExcluded.Formats[0],
                 Name, window.Excluded, from.wMonth, from.wDay, from.wYear % 100, from.wHour, from.wMinute,
                 from.wSecond, from.wMilliseconds, to.wMonth, to.wDay, to.wYear % 100, to.wHour, to.wMinute,
                 to.wSecond, to.wMilliseconds);
        EventLogRef.Write(code, message);
    }
}

// No valid sample in a whole buffer: the instrument is asked to start over, unless the engine
// thread is gone or a reinitialisation is already running.
void DataAcquisition::ReinitializeWhenAllInvalid(DWORD count) {
    char message[MessageSize];
    if (count > 0 && ValidCount == 0) {
        snprintf(message, sizeof message, EventCode::SamplesInvalid.Formats[0], Name,
                 static_cast<int>(count));
        EventLogRef.Write(EventCode::SamplesInvalid, message);
        // Without an engine thread, or once it has ended, nobody could carry a request out.
        if (!EngineThreadHandle || WaitForSingleObject(EngineThreadHandle, 0) == WAIT_OBJECT_0) {
            snprintf(message, sizeof message, EventCode::ReinitializationRefused.Formats[1], Name);
            EventLogRef.Write(EventCode::ReinitializationRefused, message);
        } else if (WaitForSingleObject(ReinitIdleEvent, 0) != WAIT_OBJECT_0) {
            snprintf(message, sizeof message, EventCode::ReinitializationRefused.Formats[0], Name);
            EventLogRef.Write(EventCode::ReinitializationRefused, message);
        } else {
            SetEvent(ReinitRequestEvent);
        }
        snprintf(message, sizeof message, EventCode::ReinitializationFinished.Formats[0], Name);
        EventLogRef.Write(EventCode::ReinitializationFinished, message);
    }
}
