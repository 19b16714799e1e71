// SonicMetek3ClassAMPSerial: construction, the start of acquisition and the line parser.
// The statistics (SonicMetek3ClassAMPSerialStatistics.cpp) and the raw data line
// (SonicMetek3ClassAMPSerialRaw.cpp) are in their own sources.
#include "instrument/SonicMetek3ClassAMPSerial.h"

#include <charconv>
#include <new>
#include <system_error>

#include "instrument/SerialComm.h"
#include "services/Win32Util.h"

namespace {

// Field numbers of the instrument line, counted from 1.
enum LineField {
    FieldStatus = 1,
    FieldU = 2,
    FieldV = 3,
    FieldW = 4,
    FieldT = 5,
    FieldA1 = 6,
    FieldA2 = 7,
    FieldA3 = 10,
    FieldA4 = 11,
};

const char LineFieldSeparator = ',';

// The next comma-separated field of *cursor: the text up to the next comma or the end. Every
// comma ends a field, so an empty field keeps its place and the fields after it their numbers.
// Returns null when the text is used up. Keeps no hidden state, so several engines may parse
// on their own archive threads at once.
char *NextField(char **cursor) {
    char *p = *cursor;
    if (p == nullptr)
        return nullptr;
    char *field = p;
    while (*p != '\0' && *p != LineFieldSeparator)
        ++p;
    if (*p == LineFieldSeparator) {
        *p = '\0';
        *cursor = p + 1;
    } else {
        *cursor = nullptr;  // that was the last field
    }
    return field;
}

bool IsSpaceCharacter(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool IsDigitCharacter(char c) {
    return c >= '0' && c <= '9';
}
bool StartsWithNoCase(const char *text, const char *word) {
    for (; *word != '\0'; ++text, ++word)
        if (*text == '\0' || (*text | 0x20) != *word)
            return false;
    return true;
}

}  // namespace

double ReadInstrumentNumber(const char *text) {
    if (text == nullptr)
        return 0.0;
    const char *p = text;
    while (IsSpaceCharacter(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    // Not-a-number and infinity are no measurement: missing, never a number of any kind.
    if (StartsWithNoCase(p, "nan") || StartsWithNoCase(p, "inf"))
        return MissingValue;

    // The longest prefix digits [. digits] [e [sign] digits] with at least one mantissa digit.
    const char *mantissa = p;
    int digits = 0;
    int integerDigits = 0;         // significant digits before the point
    int leadingFractionZeros = 0;  // zeros after the point before the first nonzero digit
    bool nonzero = false;
    bool point = false;
    for (;; ++p) {
        if (IsDigitCharacter(*p)) {
            ++digits;
            if (*p != '0')
                nonzero = true;
            if (!point && nonzero)
                ++integerDigits;
            else if (point && !nonzero)
                ++leadingFractionZeros;
        } else if (*p == '.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (digits == 0)
        return 0.0;  // no number: 0.0, as for text
    const char *end = p;
    long exponent = 0;
    if (*p == 'e' || *p == 'E') {
        const char *q = p + 1;
        bool negativeExponent = false;
        if (*q == '+' || *q == '-')
            negativeExponent = *q++ == '-';
        if (IsDigitCharacter(*q)) {
            for (; IsDigitCharacter(*q); ++q)
                if (exponent < 100000)
                    exponent = exponent * 10 + (*q - '0');
            if (negativeExponent)
                exponent = -exponent;
            end = q;
        }
    }

    double value = 0.0;
    const std::from_chars_result result = std::from_chars(mantissa, end, value, std::chars_format::general);
    if (result.ec == std::errc::result_out_of_range) {
        // Too large is missing; too small is zero. The magnitude is at least 1 exactly when
        // the first significant digit stands before the point once the exponent is applied.
        const long order = integerDigits > 0 ? integerDigits : -leadingFractionZeros;
        if (nonzero && order + exponent > 0)
            return MissingValue;
        value = 0.0;
    } else if (result.ec != std::errc() || !std::isfinite(value)) {
        return MissingValue;
    }
    return negative ? -value : value;
}

bool IsMissingValue(double value) {
    // The integer part truncated toward zero is -99: every value in (-100, -99].
    return value > -100.0 && value <= -99.0;
}

SonicMetek3ClassAMPSerial::SonicMetek3ClassAMPSerial(const char *instrumentName, const char *serialNumber,
                                                     EventLog &eventLog)
    : SerialEventIO(eventLog) {
    // The serial line of the uSonic-3: COM1, 57600 baud, 8N1, no flow control, line feed ends
    // each record and is the port's event character.
    ComPort = 1;
    BaudRate = 57600;
    Parity = 'N';
    DataBits = 8;
    StopBits = 1;
    FlowControl = 0;
    InputQueueSize = 32768;
    OutputQueueSize = 32768;
    LineTerminator = 10;
    FieldSeparator = ',';
    // Every line holds at least the status and u, v, w, T; those four are numbers.
    RequiredFieldCount = FieldT;
    FirstNumericField = FieldU;
    LastNumericField = FieldT;

    snprintf(InstrumentName, sizeof InstrumentName, "%s", instrumentName ? instrumentName : "");
    snprintf(SerialNumber, sizeof SerialNumber, "%s", serialNumber ? serialNumber : "");
    snprintf(ModelDescription, sizeof ModelDescription, "%s", "Metek uSonic-3 CLASS-A MP");
    HeatingMode = 3;
    snprintf(HeatingModeNames[0], TextSize, "%s", "off permanently");
    snprintf(HeatingModeNames[1], TextSize, "%s", "on permanently");
    snprintf(HeatingModeNames[2], TextSize, "%s", "auto using temperature");
    snprintf(HeatingModeNames[3], TextSize, "%s", "auto using temp & data");

    FieldPointer = nullptr;
    FieldIndex = 0;
    StatusField[0] = '\0';
    RawStatusText[0] = '\0';
    for (auto &text : ValueTexts)
        text[0] = '\0';
    ResetStatistics();
}

void SonicMetek3ClassAMPSerial::ParseRecord(const SampleRecord &record, bool allValues) {
    // Work on a zero-filled copy of exactly Length characters: a zero inside the text ends the
    // line there, and the record's own text is never modified.
    size_t length = (record.Text != nullptr && record.Length > 0) ? static_cast<size_t>(record.Length) : 0;
    char *copy = static_cast<char *>(calloc(length + 1, 1));

    StatusField[0] = '\0';
    HeatingState = 0;
    BlockDigit = 0;
    BlockPercentage = 0;
    U = V = W = T = MissingValue;
    if (allValues)
        A1 = A2 = A3 = A4 = MissingValue;
    if (copy == nullptr)
        return;  // nothing can be parsed; every value stays missing
    if (length > 0)
        memcpy(copy, record.Text, length);
    // The line's own end (CR LF from an instrument set up that way) belongs to no field.
    for (size_t end = strlen(copy); end > 0 && (copy[end - 1] == '\r' || copy[end - 1] == '\n'); --end)
        copy[end - 1] = '\0';

    char *cursor = copy;
    FieldIndex = 0;
    while ((FieldPointer = NextField(&cursor)) != nullptr) {
        ++FieldIndex;
        double *target = nullptr;
        switch (FieldIndex) {
            case FieldStatus:
                snprintf(StatusField, StatusFieldUsed + 1, "%s", FieldPointer);
                break;
            case FieldU:
                target = &U;
                break;
            case FieldV:
                target = &V;
                break;
            case FieldW:
                target = &W;
                break;
            case FieldT:
                target = &T;
                break;
            case FieldA1:
                target = allValues ? &A1 : nullptr;
                break;
            case FieldA2:
                target = allValues ? &A2 : nullptr;
                break;
            case FieldA3:
                target = allValues ? &A3 : nullptr;
                break;
            case FieldA4:
                target = allValues ? &A4 : nullptr;
                break;
            default:
                break;
        }
        // An empty field is missing; it keeps its place, so the fields after it keep theirs.
        if (target != nullptr && FieldPointer[0] != '\0')
            *target = ReadInstrumentNumber(FieldPointer);
        if (FieldIndex >= FieldA4)
            break;  // later fields are not used
    }
    FieldPointer = nullptr;
    free(copy);

    // The StatusField's fixed positions: 10 heating state, 11 block digit, 12-14 percentage.
    size_t statusLength = strlen(StatusField);
    if (statusLength >= 10)
        HeatingState = StatusField[9];
    if (statusLength >= 11 && StatusField[10] >= '1' && StatusField[10] <= '9')
        BlockDigit = StatusField[10] - '0';
    if (statusLength >= 12)
        BlockPercentage = strtol(StatusField + 11, nullptr, 10);
}

DWORD SonicMetek3ClassAMPSerial::InitializeInstrument(SerialComm *) {
    // The uSonic-3 is set up by its own configuration; nothing is sent. The initialization is
    // marked as running and finished back to back.
    ResetEvent(ReinitIdleEvent);
    SetEvent(ReinitIdleEvent);
    return 0;
}

SerialComm *SonicMetek3ClassAMPSerial::OpenPort(bool logFailure, DWORD *error) {
    // 2. and 3. The port.
    SerialComm *port = PortDevice[0] != '\0'
                           ? new (std::nothrow) SerialComm(PortDevice, InputQueueSize, OutputQueueSize)
                           : new (std::nothrow) SerialComm(ComPort, InputQueueSize, OutputQueueSize);
    char portName[MAX_PATH];
    PortName(portName, sizeof portName);
    if (port == nullptr || port->OpenFailed) {
        *error = port == nullptr ? static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY) : port->LastError;
        if (logFailure) {
            snprintf(EngineMessage, sizeof EngineMessage, EventCode::AcquisitionStart.Formats[0], Name,
                     portName);
            EventLogRef.Write(EventCode::AcquisitionStart, EngineMessage);
        }
        delete port;
        return nullptr;
    }

    // 4. The instrument's line settings.
    *error = port->Configure(BaudRate, Parity, DataBits, StopBits, FlowControl);
    if (*error != 0) {
        if (logFailure) {
            snprintf(EngineMessage, sizeof EngineMessage, EventCode::AcquisitionStart.Formats[1], Name,
                     portName);
            EventLogRef.Write(EventCode::AcquisitionStart, EngineMessage);
        }
        delete port;
        return nullptr;
    }
    return port;
}

void SonicMetek3ClassAMPSerial::Acquire() {
    // 1. The reading counters.
    LinesReceived = BytesReceived = BuffersHandedOver = 0;
    LinesTruncated = LinesLost = ReadErrors = Reinitializations = 0;
    ReadingCounter = 0;
    PortMissingSince.store(0, std::memory_order_relaxed);
    char portName[MAX_PATH];
    PortName(portName, sizeof portName);

    // A port that is missing at the start, or lost later (hung up, removed, failing reads),
    // is tried again every ReopenIntervalMs until it is back or a stop is requested. The
    // engine thread lives on meanwhile; EngineReadyEvent is set once, at the first start.
    bool started = false;
    bool interrupted = false;
    FILETIME interruptedAt = {};
    for (;;) {
        DWORD error = 0;
        SerialComm *port = OpenPort(!started && !interrupted, &error);
        if (port == nullptr) {
            if (!interrupted) {
                interrupted = true;
                GetSystemTimeAsFileTime(&interruptedAt);
                PortMissingSince.store(FileTimeToUnits(interruptedAt), std::memory_order_relaxed);
                snprintf(EngineMessage, sizeof EngineMessage, EventCode::PortLost.Formats[0], Name, portName,
                         static_cast<unsigned long>(error),
                         static_cast<unsigned long>(ReopenIntervalMs / 1000));
                EventLogRef.Write(EventCode::PortLost, EngineMessage);
                if (!started) {
                    fprintf(stderr, "%s: %s is missing (error %lu); waiting for it.\n", Name, portName,
                            static_cast<unsigned long>(error));
                    fflush(stderr);
                }
            }
            if (WaitForSingleObject(StopRequestEvent, ReopenIntervalMs) != WAIT_TIMEOUT)
                return;
            continue;
        }

        StartOnPort(port, started, interrupted, interruptedAt);
        started = true;
        interrupted = false;

        HANDLE receiveFlagEvent = PrepareReading(port);

        // 14. The reading loop; it deletes the port when it ends.
        const DWORD lost = RunReadingLoop(port, receiveFlagEvent);
        // A port that hangs up while a stop is under way (the instrument switched off with the
        // program) ends acquisition as the stop does: no outage, no retry.
        if (lost == 0 || IsSignalled(StopRequestEvent))
            return;  // stopped

        interrupted = true;
        GetSystemTimeAsFileTime(&interruptedAt);
        PortMissingSince.store(FileTimeToUnits(interruptedAt), std::memory_order_relaxed);
        snprintf(EngineMessage, sizeof EngineMessage, EventCode::PortLost.Formats[1], Name, portName,
                 static_cast<unsigned long>(lost), static_cast<unsigned long>(ReopenIntervalMs / 1000));
        EventLogRef.Write(EventCode::PortLost, EngineMessage);
        if (WaitForSingleObject(StopRequestEvent, ReopenIntervalMs) != WAIT_TIMEOUT)
            return;
    }
}

// The port is open (again): the engine no longer waits for it; the instrument is initialized
// and the engine is ready (at the first start) or the outage is logged as over.
void SonicMetek3ClassAMPSerial::StartOnPort(SerialComm *port, bool started, bool interrupted,
                                            FILETIME interruptedAt) {
    // The port is open again: the engine no longer waits for it.
    PortMissingSince.store(0, std::memory_order_relaxed);

    if (!started)
        CheckAdapterLatency(port->PortHandle);

    // 5. The line terminator raises the port's event.
    port->SetEventChar(LineTerminator);

    // 6. to 10. Instrument initialization; the engine is ready.
    snprintf(EngineMessage, sizeof EngineMessage, EventCode::AcquisitionStart.Formats[2], Name);
    EventLogRef.Write(EventCode::AcquisitionStart, EngineMessage);
    InitializeInstrument(port);
    snprintf(EngineMessage, sizeof EngineMessage, EventCode::InitializationFinished.Formats[0], Name);
    EventLogRef.Write(EventCode::InitializationFinished, EngineMessage);
    if (!started) {
        SetEvent(EngineReadyEvent);
        snprintf(EngineMessage, sizeof EngineMessage, EventCode::EngineStarted.Formats[0], Name);
        EventLogRef.Write(EventCode::EngineStarted, EngineMessage);
    }
    if (interrupted && started) {
        // The fresh initialization answers any request made while the port was away.
        ResetEvent(ReinitRequestEvent);
    }
    if (interrupted)
        LogResumption(interruptedAt);
}

// Arms the wait for the terminator and drops whatever was received before reading starts;
// returns the terminator's event, or null when the wait could not be armed.
HANDLE SonicMetek3ClassAMPSerial::PrepareReading(SerialComm *port) {
    // 11. The wait for the terminator (its event joins the stop and reinitialization events).
    HANDLE receiveFlagEvent = nullptr;
    if (port->ArmReceiveFlagWait(&receiveFlagEvent) != 0)
        receiveFlagEvent = nullptr;

    // 12. and 13. Nothing received before this point is kept.
    port->ReceiveCount = 0;
    if (port->ReceiveBuffer != nullptr)
        port->ReceiveBuffer[0] = '\0';
    ReceiveAreaCount = 0;
    PurgeComm(port->PortHandle, PURGE_RXCLEAR);
    return receiveFlagEvent;
}

void SonicMetek3ClassAMPSerial::LogResumption(FILETIME interruptedAt) {
    SYSTEMTIME at = {};
    FileTimeToSystemTime(&interruptedAt, &at);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const ULONGLONG from =
        (static_cast<ULONGLONG>(interruptedAt.dwHighDateTime) << 32) | interruptedAt.dwLowDateTime;
    const ULONGLONG to = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    const unsigned long seconds = to > from ? static_cast<unsigned long>((to - from) / 10000000ULL) : 0;
    char portName[MAX_PATH];
    PortName(portName, sizeof portName);
    snprintf(EngineMessage, sizeof EngineMessage, EventCode::PortBack.Formats[0], Name, portName, at.wYear,
             at.wMonth, at.wDay, at.wHour, at.wMinute, at.wSecond, at.wMilliseconds, seconds);
    EventLogRef.Write(EventCode::PortBack, EngineMessage);
}
