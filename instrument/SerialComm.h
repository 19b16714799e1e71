// One COM port opened for overlapped input and output: exclusive open, driver queue sizes,
// the port's previous settings (put back on destruction), the working line settings, the
// event-character wait and the performance-counter calibration.
#pragma once

#include <string>

#include "platform/win32.h"

class SerialComm {
public:
    // Parity codes, stop-bit codes and flow-control codes taken by Configure.
    static constexpr BYTE StopBitsOne = 1;
    static constexpr BYTE StopBitsTwo = 2;
    static constexpr BYTE StopBitsOneAndHalf = 15;
    static constexpr DWORD FlowControlXonXoff = 1;
    // The flags word of the line settings applied at construction: binary mode, parity
    // checking, DTR and RTS on, transmission continuing after XOFF, bits 15 and 19.
    static constexpr DWORD InitialFlags = 0x89093;
    // The events the receive wait fires on: the event character, and a receive queue 80 %
    // full, so that a run of bytes without the event character is still read (and cut) instead
    // of filling the queue and holding everything after it back.
    static constexpr DWORD ReceiveEvents = EV_RXFLAG | EV_RX80FULL;

    // Pause after applying line settings, so the line and the instrument settle before the
    // first read. The tests shorten it.
    static DWORD SettleTimeMs;

    // Opens "\\.\COM<port>"; never throws. On failure OpenFailed is 1 and LastError tells why.
    SerialComm(WORD port, DWORD receiveQueueSize, DWORD transmitQueueSize);
    // Opens the port by its device name: "\\.\COM3", or a device path where the system has
    // them ("/dev/ttyUSB0", "/dev/serial/by-id/..."), opened through the name as it is now.
    SerialComm(const char *device, DWORD receiveQueueSize, DWORD transmitQueueSize);
    // "\\.\COM<port>".
    static std::string DeviceName(WORD port);
    SerialComm(const SerialComm &) = delete;
    SerialComm &operator=(const SerialComm &) = delete;
    // Puts the port's previous settings back and closes everything; safe after any failed
    // construction step.
    virtual ~SerialComm();

    // Applies baud rate, parity ('N', 'O', 'E', 'M', 'S', any case), data bits, stop-bit code
    // (1, 2, 15) and flow control (1 = XON/XOFF); 0 or the system error code.
    DWORD Configure(DWORD baudRate, char parity, BYTE dataBits, BYTE stopBits, DWORD flowControl);
    // Makes the character the port's event character and arms the event-character wait.
    DWORD SetEventChar(char eventChar);
    // Arms the overlapped wait for the event character and hands out its auto-reset event.
    DWORD ArmReceiveFlagWait(HANDLE *event);
    // Reads the port's current line settings.
    DWORD GetState(DCB *state);

    char *ReceiveBuffer = nullptr;
    double TimerOverheadMs = 0.0;
    double CountsPerMillisecond = 0.0;
    CRITICAL_SECTION Lock = {};
    int OpenFailed = 0;
    HANDLE PortHandle = INVALID_HANDLE_VALUE;
    HANDLE ExtraEvent = nullptr;
    COMMTIMEOUTS SavedTimeouts = {};
    DCB SavedLineSettings = {};
    DCB LineSettings = {};
    DCB ScratchLineSettings = {};
    // The third block carries the event-character wait.
    OVERLAPPED Overlapped[3] = {};
    DWORD ReceiveQueueSize = 0;
    DWORD TransmitQueueSize = 0;
    DWORD LastError = 0;
    DWORD EventMask = 0;
    int ReceiveCount = 0;
    BOOL LastSetResult = FALSE;
    LARGE_INTEGER CounterFrequency = {};
    LARGE_INTEGER FirstCounterReading = {};
    LARGE_INTEGER SecondCounterReading = {};

private:
    bool Fail();
    // The steps of construction; each returns Fail() when it fails.
    bool CreateEvents();
    bool OpenPort(const char *device);
    bool SizeQueues();
    bool SaveSettings();
    bool SetKnownLine();
    void CalibrateCounter();
    // Whether SavedTimeouts and SavedLineSettings hold what the port had: only that is put back.
    bool savedTimeouts_ = false;
    bool savedLineSettings_ = false;
};

// The largest power of two not above size (0 for 0).
DWORD FloorPowerOfTwo(DWORD size);
