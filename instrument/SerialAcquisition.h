// A DataAcquisition for an instrument on a serial COM port.
#pragma once

#include "acquisition/DataAcquisition.h"

class SerialComm;

// Raised by Acquire when the port cannot be opened or configured; ends the engine thread only.
class SerialAcquisitionException {};

class SerialAcquisition : public DataAcquisition {
public:
    static constexpr int ReceiveAreaSize = 20000;

    explicit SerialAcquisition(EventLog &eventLog);

    // The port's name in messages: "COM<ComPort>", or PortDevice when it is set.
    void PortName(char *text, size_t size) const;

    // Prepares the instrument on the open port; 0 on success.
    virtual DWORD InitializeInstrument(SerialComm *port) = 0;

    // Serial line settings, fixed by the instrument's constructor.
    WORD ComPort = 0;
    // The port's device when it is named rather than numbered ("/dev/ttyUSB0", a by-id link);
    // empty: the COM port ComPort. Reopened through this name, so a link that follows the
    // adapter to another tty is followed.
    char PortDevice[MAX_PATH] = {};
    DWORD BaudRate = 0;
    char Parity = 0;
    BYTE DataBits = 0;
    BYTE StopBits = 0;
    DWORD FlowControl = 0;
    DWORD InputQueueSize = 0;
    DWORD OutputQueueSize = 0;

    // Receive area of the reading loop: the incomplete tail of the last read.
    char ReceiveArea[ReceiveAreaSize] = {};
    DWORD ReceiveAreaCount = 0;
};
