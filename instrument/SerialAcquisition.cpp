// SerialAcquisition: the engine for an instrument on a serial COM port. It holds the line
// settings (the instrument's constructor fixes them) and the receive area of the reading
// loop; Acquire and the reading loop live in SerialEventIO and the instrument class.
#include "instrument/SerialAcquisition.h"

SerialAcquisition::SerialAcquisition(EventLog &eventLog) : DataAcquisition(eventLog) {
    snprintf(InstrumentName, sizeof InstrumentName, "%s", "Generic with ASCII Output");
    SerialNumber[0] = '\0';
    ReceiveAreaCount = 0;
}

void SerialAcquisition::PortName(char *text, size_t size) const {
    if (PortDevice[0] != '\0')
        snprintf(text, size, "%s", PortDevice);
    else
        snprintf(text, size, "COM%d", static_cast<int>(ComPort));
}
