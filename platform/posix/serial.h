// Serial ports: COM devices over termios (POSIX layer).
//
// CreateFileA("\\.\COMn") opens $KESTRUNE_COMn when set, else /dev/ttyS<n-1>, exclusively.
// The structures, constants and calls below have the Win32 names, layouts and semantics.
#pragma once

#include "platform/posix/files.h"
#include "platform/posix/types.h"

#ifndef MAXDWORD
#define MAXDWORD 0xFFFFFFFFu
#endif

// Baud rates.
#define CBR_110 110
#define CBR_300 300
#define CBR_600 600
#define CBR_1200 1200
#define CBR_2400 2400
#define CBR_4800 4800
#define CBR_9600 9600
#define CBR_14400 14400
#define CBR_19200 19200
#define CBR_38400 38400
#define CBR_56000 56000
#define CBR_57600 57600
#define CBR_115200 115200
#define CBR_128000 128000
#define CBR_256000 256000

// DCB.Parity
#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4

// DCB.StopBits
#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2

// DCB.fDtrControl
#define DTR_CONTROL_DISABLE 0x00
#define DTR_CONTROL_ENABLE 0x01
#define DTR_CONTROL_HANDSHAKE 0x02

// DCB.fRtsControl
#define RTS_CONTROL_DISABLE 0x00
#define RTS_CONTROL_ENABLE 0x01
#define RTS_CONTROL_HANDSHAKE 0x02
#define RTS_CONTROL_TOGGLE 0x03

// Communication events (SetCommMask, WaitCommEvent).
#define EV_RXCHAR 0x0001u
#define EV_RXFLAG 0x0002u
#define EV_TXEMPTY 0x0004u
#define EV_CTS 0x0008u
#define EV_DSR 0x0010u
#define EV_RLSD 0x0020u
#define EV_BREAK 0x0040u
#define EV_ERR 0x0080u
#define EV_RING 0x0100u
#define EV_RX80FULL 0x0400u

// PurgeComm
#define PURGE_TXABORT 0x0001u
#define PURGE_RXABORT 0x0002u
#define PURGE_TXCLEAR 0x0004u
#define PURGE_RXCLEAR 0x0008u

// ClearCommError error flags.
#define CE_RXOVER 0x0001u
#define CE_OVERRUN 0x0002u
#define CE_RXPARITY 0x0004u
#define CE_FRAME 0x0008u
#define CE_BREAK 0x0010u
#define CE_TXFULL 0x0100u

// COMMPROP values.
#define SP_SERIALCOMM 0x00000001u
#define PST_RS232 0x00000001u
#define BAUD_USER 0x10000000u
#define PCF_DTRDSR 0x0001u
#define PCF_RTSCTS 0x0002u
#define PCF_PARITY_CHECK 0x0008u
#define PCF_XONXOFF 0x0010u
#define PCF_SETXCHAR 0x0020u
#define PCF_TOTALTIMEOUTS 0x0040u
#define PCF_INTTIMEOUTS 0x0080u
#define PCF_SPECIALCHARS 0x0100u
#define PCF_16BITMODE 0x0200u
#define SP_PARITY 0x0001u
#define SP_BAUD 0x0002u
#define SP_DATABITS 0x0004u
#define SP_STOPBITS 0x0008u
#define SP_HANDSHAKING 0x0010u
#define SP_PARITY_CHECK 0x0020u
#define SP_RLSD 0x0040u
#define DATABITS_5 0x0001u
#define DATABITS_6 0x0002u
#define DATABITS_7 0x0004u
#define DATABITS_8 0x0008u
#define STOPBITS_10 0x0001u
#define STOPBITS_15 0x0002u
#define STOPBITS_20 0x0004u
#define PARITY_NONE 0x0100u
#define PARITY_ODD 0x0200u
#define PARITY_EVEN 0x0400u
#define PARITY_MARK 0x0800u
#define PARITY_SPACE 0x1000u

// Line settings, with the Win32 bit-field layout (28 bytes).
typedef struct _DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
} DCB, *LPDCB;

typedef struct _COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS, *LPCOMMTIMEOUTS;

typedef struct _COMMPROP {
    WORD wPacketLength;
    WORD wPacketVersion;
    DWORD dwServiceMask;
    DWORD dwReserved1;
    DWORD dwMaxTxQueue;
    DWORD dwMaxRxQueue;
    DWORD dwMaxBaud;
    DWORD dwProvSubType;
    DWORD dwProvCapabilities;
    DWORD dwSettableParams;
    DWORD dwSettableBaud;
    WORD wSettableData;
    WORD wSettableStopParity;
    DWORD dwCurrentTxQueue;
    DWORD dwCurrentRxQueue;
    DWORD dwProvSpec1;
    DWORD dwProvSpec2;
    wchar_t wcProvChar[1];
} COMMPROP, *LPCOMMPROP;

typedef struct _COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
} COMSTAT, *LPCOMSTAT;

BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue);
BOOL GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp);
BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
BOOL GetCommState(HANDLE hFile, LPDCB lpDCB);
BOOL SetCommState(HANDLE hFile, LPDCB lpDCB);
BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask);
BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask);
BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped);
BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat);
BOOL PurgeComm(HANDLE hFile, DWORD dwFlags);
BOOL CancelIo(HANDLE hFile);
// Completion of an overlapped operation on any handle of the layer.
BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                         BOOL bWait);

// The layer's own: the performance-counter readings at which the event characters that
// ReadFile has handed out since the last call arrived at the port, oldest first. Stores at most
// `capacity` readings and returns how many; the rest stay for the next call. A platform that
// does not know arrival times returns 0, and callers then take their own clock reading.
DWORD KestruneGetCommArrivalTimes(HANDLE hFile, LARGE_INTEGER *times, DWORD capacity);

// The layer's own: the arrival readings of the bytes ReadFile has handed out since the last
// call, oldest first, one per chunk the reader took from the device (a chunk split by a read
// gives one entry for each part): Bytes of the stream, in order, all of which had arrived at
// the port when the performance counter read Arrival. The entries' Bytes add up to the bytes
// handed out. Stores at most `capacity` and returns how many; the rest stay for the next call.
// A platform that does not know arrival times returns 0, and callers estimate from their own
// readings (what ClearCommError finds queued when they take one).
typedef struct _KESTRUNE_COMM_CHUNK {
    DWORD Bytes;
    LARGE_INTEGER Arrival;
} KESTRUNE_COMM_CHUNK;
DWORD KestruneGetCommChunkTimes(HANDLE hFile, KESTRUNE_COMM_CHUNK *chunks, DWORD capacity);

// The layer's own: how a USB serial adapter delays what it receives. LowLatencyRefused is 1
// when the driver took the low-latency request at the open but did not keep it;
// LatencyTimerMs is the adapter's latency timer (sysfs latency_timer), 0 where the device has
// none. Both 0 for ports that are no USB adapter (and on platforms that do not tell).
typedef struct _KESTRUNE_COMM_LATENCY {
    DWORD LowLatencyRefused;
    DWORD LatencyTimerMs;
} KESTRUNE_COMM_LATENCY;
BOOL KestruneGetCommLatency(HANDLE hFile, KESTRUNE_COMM_LATENCY *latency);

// The layer's own: the native device that CreateFileA opens for a port name: for "\\.\COMn"
// or "COMn" $KESTRUNE_COMn when set, else /dev/ttyS<n-1>; for a native path ("/dev/ttyUSB0")
// the path itself. False for any other name, or when the path does not fit.
bool KestruneCommDevicePath(const char *name, char *path, size_t capacity);
