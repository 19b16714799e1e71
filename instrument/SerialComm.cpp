// SerialComm: opens and configures one COM port for overlapped I/O and arms the wait for the
// event character.
#include "instrument/SerialComm.h"

#include <cctype>
#include <string>

DWORD SerialComm::SettleTimeMs = 1000;

namespace {

const DWORD XonLimit = 1024;
const DWORD XoffLimit = 512;
const char XonCharacter = 0x11;
const char XoffCharacter = 0x13;

// The last error code, never 0: a call that failed without leaving a code must not read as
// success to a caller that tests for 0.
DWORD FailureCode() {
    DWORD error = GetLastError();
    return error != 0 ? error : static_cast<DWORD>(ERROR_GEN_FAILURE);
}

}  // namespace

DWORD FloorPowerOfTwo(DWORD size) {
    DWORD power = 0;
    for (DWORD bit = 0x80000000u; bit != 0; bit >>= 1) {
        if (size & bit) {
            power = bit;
            break;
        }
    }
    return power;
}

bool SerialComm::Fail() {
    OpenFailed = 1;
    LastError = FailureCode();
    return false;
}

std::string SerialComm::DeviceName(WORD port) {
    char name[32];
    snprintf(name, sizeof name, "\\\\.\\COM%d", static_cast<int>(port));
    return name;
}

SerialComm::SerialComm(WORD port, DWORD receiveQueueSize, DWORD transmitQueueSize)
    : SerialComm(DeviceName(port).c_str(), receiveQueueSize, transmitQueueSize) {}

SerialComm::SerialComm(const char *device, DWORD receiveQueueSize, DWORD transmitQueueSize) {
    // Queue sizes as asked; the lock.
    ReceiveQueueSize = receiveQueueSize;
    TransmitQueueSize = transmitQueueSize;
    InitializeCriticalSection(&Lock);
    // The steps in order; the first that fails records why (Fail) and ends the construction,
    // and the destructor undoes what the steps before it did.
    if (CreateEvents() && OpenPort(device) && SizeQueues() && SaveSettings() && SetKnownLine())
        CalibrateCounter();
}

// The events of the three overlapped blocks, then the extra event.
bool SerialComm::CreateEvents() {
    for (OVERLAPPED &block : Overlapped) {
        block.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        if (block.hEvent == nullptr) {
            return Fail();
        }
    }
    ExtraEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (ExtraEvent == nullptr) {
        return Fail();
    }
    return true;
}

// The port itself, exclusive, overlapped.
bool SerialComm::OpenPort(const char *device) {
    PortHandle = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
    if (PortHandle == INVALID_HANDLE_VALUE) {
        return Fail();
    }
    return true;
}

// Driver queues as powers of two, then the sizes the driver reports.
bool SerialComm::SizeQueues() {
    ReceiveQueueSize = FloorPowerOfTwo(ReceiveQueueSize);
    TransmitQueueSize = FloorPowerOfTwo(TransmitQueueSize);
    COMMPROP properties = {};
    if (!SetupComm(PortHandle, ReceiveQueueSize, TransmitQueueSize) ||
        !GetCommProperties(PortHandle, &properties)) {
        ReceiveQueueSize = 0;
        TransmitQueueSize = 0;
        if (GetLastError() != 0) {
            return Fail();
        }
    } else {
        ReceiveQueueSize = properties.dwCurrentRxQueue;
        TransmitQueueSize = properties.dwCurrentTxQueue;
    }
    return true;
}

// What to put back on destruction.
bool SerialComm::SaveSettings() {
    if (!GetCommTimeouts(PortHandle, &SavedTimeouts) && GetLastError() != 0) {
        return Fail();
    }
    savedTimeouts_ = true;
    if (GetState(&SavedLineSettings) != 0) {
        return Fail();
    }
    savedLineSettings_ = true;
    return true;
}

// The known line setting: 9600 baud 8N1, DTR and RTS on, no flow control, no special
// characters; then the same through Configure, which also lets the line settle.
bool SerialComm::SetKnownLine() {
    LineSettings = DCB{};
    LineSettings.DCBlength = sizeof(DCB);
    LineSettings.BaudRate = CBR_9600;
    LineSettings.fBinary = 1;
    LineSettings.fParity = 1;
    LineSettings.fDtrControl = DTR_CONTROL_ENABLE;
    LineSettings.fTXContinueOnXoff = 1;
    LineSettings.fRtsControl = RTS_CONTROL_ENABLE;
    LineSettings.fDummy2 = (InitialFlags >> 15) & 0x1FFFF;
    LineSettings.ByteSize = 8;
    LineSettings.Parity = NOPARITY;
    LineSettings.StopBits = ONESTOPBIT;
    if (!SetCommState(PortHandle, &LineSettings) && GetLastError() != 0) {
        return Fail();
    }

    if (Configure(CBR_9600, 0, 8, 0, 0) != 0) {
        return Fail();
    }
    return true;
}

// Performance-counter calibration.
void SerialComm::CalibrateCounter() {
    QueryPerformanceFrequency(&CounterFrequency);
    CountsPerMillisecond = static_cast<double>(CounterFrequency.QuadPart) / 1000.0;
    QueryPerformanceCounter(&FirstCounterReading);
    QueryPerformanceCounter(&SecondCounterReading);
    QueryPerformanceCounter(&SecondCounterReading);
    if (CountsPerMillisecond > 0.0)
        TimerOverheadMs = static_cast<double>(SecondCounterReading.QuadPart - FirstCounterReading.QuadPart) /
                          CountsPerMillisecond;
}

SerialComm::~SerialComm() {
    // Errors are ignored throughout: this must work after any failed construction step.
    const bool open = PortHandle != INVALID_HANDLE_VALUE && PortHandle != nullptr;
    if (open) {
        FlushFileBuffers(PortHandle);
        PurgeComm(PortHandle, PURGE_TXCLEAR);
    }
    ReceiveCount = 0;
    if (ReceiveBuffer != nullptr)
        ReceiveBuffer[0] = '\0';
    if (open) {
        PurgeComm(PortHandle, PURGE_RXCLEAR);
        // Only what was actually read from the port is put back.
        if (savedTimeouts_)
            SetCommTimeouts(PortHandle, &SavedTimeouts);
        if (savedLineSettings_)
            SetCommState(PortHandle, &SavedLineSettings);
        CloseHandle(PortHandle);
        PortHandle = INVALID_HANDLE_VALUE;
    }
    for (OVERLAPPED &block : Overlapped) {
        if (block.hEvent != nullptr)
            CloseHandle(block.hEvent);
        block.hEvent = nullptr;
    }
    if (ExtraEvent != nullptr)
        CloseHandle(ExtraEvent);
    ExtraEvent = nullptr;
    DeleteCriticalSection(&Lock);
    free(ReceiveBuffer);
    ReceiveBuffer = nullptr;
}

DWORD SerialComm::Configure(DWORD baudRate, char parity, BYTE dataBits, BYTE stopBits, DWORD flowControl) {
    ScratchLineSettings = LineSettings;
    ScratchLineSettings.BaudRate = baudRate;
    ScratchLineSettings.ByteSize = dataBits;

    switch (toupper(static_cast<unsigned char>(parity))) {
        case 'E':
            ScratchLineSettings.Parity = EVENPARITY;
            break;
        case 'M':
            ScratchLineSettings.Parity = MARKPARITY;
            break;
        case 'O':
            ScratchLineSettings.Parity = ODDPARITY;
            break;
        case 'S':
            ScratchLineSettings.Parity = SPACEPARITY;
            break;
        default:
            ScratchLineSettings.Parity = NOPARITY;
            break;
    }

    switch (stopBits) {
        case StopBitsTwo:
            ScratchLineSettings.StopBits = TWOSTOPBITS;
            break;
        case StopBitsOneAndHalf:
            ScratchLineSettings.StopBits = ONE5STOPBITS;
            break;
        default:
            ScratchLineSettings.StopBits = ONESTOPBIT;
            break;
    }

    if (flowControl == FlowControlXonXoff) {
        ScratchLineSettings.fOutxCtsFlow = 0;
        ScratchLineSettings.fOutxDsrFlow = 0;
        ScratchLineSettings.fDsrSensitivity = 0;
        ScratchLineSettings.fDtrControl = DTR_CONTROL_DISABLE;
        ScratchLineSettings.fRtsControl = RTS_CONTROL_DISABLE;
        ScratchLineSettings.fTXContinueOnXoff = 1;
        ScratchLineSettings.fOutX = 1;
        ScratchLineSettings.fInX = 1;
        ScratchLineSettings.XonLim = XonLimit;
        ScratchLineSettings.XoffLim = XoffLimit;
        ScratchLineSettings.XonChar = XonCharacter;
        ScratchLineSettings.XoffChar = XoffCharacter;
    }

    LastSetResult = SetCommState(PortHandle, &ScratchLineSettings);
    const DWORD error = LastSetResult ? 0 : FailureCode();
    Sleep(SettleTimeMs);
    if (!LastSetResult)
        return error;
    LineSettings = ScratchLineSettings;
    return 0;
}

DWORD SerialComm::SetEventChar(char eventChar) {
    if (!GetCommState(PortHandle, &LineSettings) && GetLastError() != 0)
        return FailureCode();
    LineSettings.EvtChar = eventChar;
    if (!SetCommState(PortHandle, &LineSettings) && GetLastError() != 0)
        return FailureCode();
    if (!SetCommMask(PortHandle, ReceiveEvents))
        return FailureCode();
    if (!WaitCommEvent(PortHandle, &EventMask, &Overlapped[2]) && GetLastError() != ERROR_IO_PENDING)
        return FailureCode();
    WaitForSingleObject(Overlapped[2].hEvent, 0);
    return 0;
}

DWORD SerialComm::ArmReceiveFlagWait(HANDLE *event) {
    if (!SetCommMask(PortHandle, ReceiveEvents))
        return FailureCode();
    if (!WaitCommEvent(PortHandle, &EventMask, &Overlapped[2]) && GetLastError() != ERROR_IO_PENDING)
        return FailureCode();
    if (event != nullptr)
        *event = Overlapped[2].hEvent;
    return 0;
}

DWORD SerialComm::GetState(DCB *state) {
    if (!GetCommState(PortHandle, state))
        return FailureCode();
    return 0;
}
