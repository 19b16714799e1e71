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

    // Prepares the instrument on the open port; 0 on success.
    virtual DWORD InitializeInstrument(SerialComm *port) = 0;

    // Serial line settings, fixed by the instrument's constructor.
    WORD ComPort = 0;
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
