// COM ports against pty pairs: open rules, line settings, event-character waits, reads,
// purges and the arrival times of the event character.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "common/PtyPeer.h"
#include "common/TestRoot.h"
#include "platform/win32.h"

namespace {

const DWORD LongWait = 10000;  // failure guard only; every wait below is for an event

class SerialTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer_.Ok());
        port_ = Open(peer_.PortName());
        ASSERT_NE(port_, INVALID_HANDLE_VALUE) << GetLastError();
        waitBlock_.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        readBlock_.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    }
    void TearDown() override {
        if (port_ != INVALID_HANDLE_VALUE)
            CloseHandle(port_);
        CloseHandle(waitBlock_.hEvent);
        CloseHandle(readBlock_.hEvent);
    }

    static HANDLE Open(const std::string &name) {
        return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    }

    DCB State() {
        DCB dcb = {};
        dcb.DCBlength = sizeof dcb;
        EXPECT_TRUE(GetCommState(port_, &dcb));
        return dcb;
    }

    DWORD Queued() {
        DWORD errors = 0;
        COMSTAT status = {};
        EXPECT_TRUE(ClearCommError(port_, &errors, &status));
        return status.cbInQue;
    }

    // Starts an overlapped wait; true when it completed at once.
    bool StartWait() {
        if (WaitCommEvent(port_, &mask_, &waitBlock_))
            return true;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        return false;
    }

    std::string ReadQueued() {
        std::string text(Queued(), '\0');
        DWORD got = 0;
        if (!ReadFile(port_, &text[0], static_cast<DWORD>(text.size()), &got, &readBlock_)) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
            EXPECT_TRUE(GetOverlappedResult(port_, &readBlock_, &got, TRUE));
        }
        text.resize(got);
        return text;
    }

    TestRoot root_;
    PtyPeer peer_{3};
    HANDLE port_ = INVALID_HANDLE_VALUE;
    OVERLAPPED waitBlock_ = {};
    OVERLAPPED readBlock_ = {};
    DWORD mask_ = 0;
};

TEST(SerialOpen, MissingDeviceIsFileNotFound) {
    setenv("KESTRUNE_COM7", "/nonexistent/tty-of-nobody", 1);
    HANDLE port = CreateFileA("\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    unsetenv("KESTRUNE_COM7");
    EXPECT_EQ(port, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    // Without the variable, COM250 is /dev/ttyS249, which no machine has.
    unsetenv("KESTRUNE_COM250");
    port = CreateFileA("\\\\.\\COM250", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_EQ(port, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// A device path opens the device it names now, exclusively, as a COM name does; a missing one
// is not found.
TEST(SerialOpen, DevicePathOpensTheTtyItNames) {
    PtyPeer peer(9);
    ASSERT_TRUE(peer.Ok());
    const DWORD access = GENERIC_READ | GENERIC_WRITE;
    HANDLE port = CreateFileA(peer.SlavePath().c_str(), access, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    EXPECT_TRUE(GetCommState(port, &dcb));
    EXPECT_EQ(CreateFileA("\\\\.\\COM9", access, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(CloseHandle(port));
    EXPECT_EQ(
        CreateFileA("/nonexistent/ttyUSB0", access, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr),
        INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(SerialOpen, PortNumbersAboveNineAndAnyCase) {
    PtyPeer peer(12);
    ASSERT_TRUE(peer.Ok());
    HANDLE port = CreateFileA("\\\\.\\com12", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(SerialTest, SecondOpenIsAccessDeniedUntilClosed) {
    HANDLE second = Open(peer_.PortName());
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    ASSERT_TRUE(CloseHandle(port_));
    port_ = Open(peer_.PortName());
    EXPECT_NE(port_, INVALID_HANDLE_VALUE) << GetLastError();
}

TEST_F(SerialTest, QueueSizesAndTimeouts) {
    ASSERT_TRUE(SetupComm(port_, 32768, 16384));
    COMMPROP properties = {};
    ASSERT_TRUE(GetCommProperties(port_, &properties));
    EXPECT_EQ(properties.dwCurrentRxQueue, 32768u);
    EXPECT_EQ(properties.dwCurrentTxQueue, 16384u);
    EXPECT_EQ(properties.dwProvSubType, PST_RS232);

    COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 5, 100};
    ASSERT_TRUE(SetCommTimeouts(port_, &timeouts));
    COMMTIMEOUTS back = {};
    ASSERT_TRUE(GetCommTimeouts(port_, &back));
    EXPECT_EQ(back.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(back.WriteTotalTimeoutMultiplier, 5u);
    EXPECT_EQ(back.WriteTotalTimeoutConstant, 100u);
}

TEST(SerialLayout, DcbHasTheWin32Layout) {
    EXPECT_EQ(sizeof(DCB), 28u);
    DCB dcb = {};
    const DWORD flags = 0x89093;
    memcpy(reinterpret_cast<char *>(&dcb) + 8, &flags, sizeof flags);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fParity, 1u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fTXContinueOnXoff, 1u);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fNull, 0u);
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fDummy2, 0x11u);
    EXPECT_EQ(offsetof(DCB, XonLim), 14u);
    EXPECT_EQ(offsetof(DCB, EvtChar), 25u);
}

TEST_F(SerialTest, LineSettingsRoundTrip) {
    DCB dcb = State();
    dcb.BaudRate = CBR_57600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.EvtChar = '\n';
    ASSERT_TRUE(SetCommState(port_, &dcb)) << GetLastError();
    DCB back = State();
    EXPECT_EQ(back.BaudRate, static_cast<DWORD>(CBR_57600));
    EXPECT_EQ(back.ByteSize, 8);
    EXPECT_EQ(back.Parity, NOPARITY);
    EXPECT_EQ(back.StopBits, ONESTOPBIT);
    EXPECT_EQ(back.EvtChar, '\n');

    dcb = State();
    dcb.StopBits = TWOSTOPBITS;
    ASSERT_TRUE(SetCommState(port_, &dcb));
    EXPECT_EQ(State().StopBits, TWOSTOPBITS);

    dcb = State();
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutX = 1;
    dcb.fInX = 1;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.XonLim = 1024;
    dcb.XoffLim = 512;
    ASSERT_TRUE(SetCommState(port_, &dcb));
    back = State();
    EXPECT_EQ(back.fOutX, 1u);
    EXPECT_EQ(back.fInX, 1u);
    EXPECT_EQ(back.XonChar, 0x11);
    EXPECT_EQ(back.XoffChar, 0x13);
    EXPECT_EQ(back.XonLim, 1024);
    EXPECT_EQ(back.XoffLim, 512);
}

TEST_F(SerialTest, RefusedSettingsLeaveThePortAsItWas) {
    DCB dcb = State();
    dcb.BaudRate = CBR_57600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    ASSERT_TRUE(SetCommState(port_, &dcb));

    DCB refused[5];
    for (DCB &r : refused)
        r = dcb;
    refused[0].BaudRate = 12345;
    refused[1].ByteSize = 9;
    refused[2].StopBits = ONE5STOPBITS;  // needs 5 data bits
    refused[3].fOutxDsrFlow = 1;
    refused[4].fOutX = 1;
    refused[4].XonChar = refused[4].XoffChar = 0x11;
    for (DCB &r : refused) {
        r.Parity = EVENPARITY;  // would change the line if anything were applied
        EXPECT_FALSE(SetCommState(port_, &r));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        DCB back = State();
        EXPECT_EQ(back.BaudRate, static_cast<DWORD>(CBR_57600));
        EXPECT_EQ(back.ByteSize, 8);
        EXPECT_EQ(back.Parity, NOPARITY);
        EXPECT_EQ(back.StopBits, ONESTOPBIT);
    }
}

// A pty keeps 8 data bits and no parity whatever it is told: the layer sees that the device
// did not take the settings and reports the refusal, with the port left as it was.
TEST_F(SerialTest, SettingsTheDeviceDoesNotTakeAreRefused) {
    DCB dcb = State();
    dcb.BaudRate = CBR_57600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    ASSERT_TRUE(SetCommState(port_, &dcb));
    const struct {
        BYTE byteSize, parity, stopBits;
    } cases[] = {{7, EVENPARITY, TWOSTOPBITS},
                 {8, ODDPARITY, ONESTOPBIT},
                 {8, MARKPARITY, ONESTOPBIT},
                 {8, SPACEPARITY, ONESTOPBIT},
                 {5, NOPARITY, ONE5STOPBITS}};
    for (const auto &c : cases) {
        DCB other = dcb;
        other.BaudRate = CBR_9600;
        other.ByteSize = c.byteSize;
        other.Parity = c.parity;
        other.StopBits = c.stopBits;
        EXPECT_FALSE(SetCommState(port_, &other)) << int(c.byteSize) << ' ' << int(c.parity);
        EXPECT_NE(GetLastError(), 0u);
        DCB back = State();
        EXPECT_EQ(back.BaudRate, static_cast<DWORD>(CBR_57600));
        EXPECT_EQ(back.ByteSize, 8);
        EXPECT_EQ(back.Parity, NOPARITY);
        EXPECT_EQ(back.StopBits, ONESTOPBIT);
    }
}

TEST_F(SerialTest, EventCharacterSignalsTheWaitAndNotBefore) {
    DCB dcb = State();
    dcb.EvtChar = '\n';
    ASSERT_TRUE(SetCommState(port_, &dcb));

    // Watch single characters arrive until "abc" is queued: none of them is the event character.
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR | EV_RXFLAG));
    ASSERT_TRUE(peer_.Send("abc"));
    while (Queued() < 3) {
        if (!StartWait()) {
            ASSERT_EQ(WaitForSingleObject(waitBlock_.hEvent, LongWait), WAIT_OBJECT_0);
        }
        EXPECT_EQ(mask_ & EV_RXFLAG, 0u);
    }

    ASSERT_TRUE(SetCommMask(port_, EV_RXFLAG));
    ASSERT_FALSE(StartWait());
    EXPECT_EQ(WaitForSingleObject(waitBlock_.hEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    DWORD transferred = 0;
    EXPECT_FALSE(GetOverlappedResult(port_, &waitBlock_, &transferred, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));

    ASSERT_TRUE(peer_.Send("\n"));
    ASSERT_EQ(WaitForSingleObject(waitBlock_.hEvent, LongWait), WAIT_OBJECT_0);
    EXPECT_TRUE(GetOverlappedResult(port_, &waitBlock_, &transferred, FALSE));
    EXPECT_EQ(mask_, EV_RXFLAG);
    EXPECT_EQ(ReadQueued(), "abc\n");
}

TEST_F(SerialTest, EventBeforeTheWaitCompletesItAtOnce) {
    DCB dcb = State();
    dcb.EvtChar = '\n';
    ASSERT_TRUE(SetCommState(port_, &dcb));
    ASSERT_TRUE(SetCommMask(port_, EV_RXFLAG));
    ASSERT_TRUE(peer_.Send("line\n"));
    // Wait for the line through a read that completes once its five bytes are there.
    char text[5];
    DWORD got = 0;
    if (!ReadFile(port_, text, 5, &got, &readBlock_)) {
        ASSERT_TRUE(GetOverlappedResult(port_, &readBlock_, &got, TRUE));
    }
    EXPECT_EQ(std::string(text, got), "line\n");
    // The event character came in while no wait was pending: the next wait completes at once.
    EXPECT_TRUE(StartWait());
    EXPECT_EQ(mask_, EV_RXFLAG);
    EXPECT_EQ(WaitForSingleObject(waitBlock_.hEvent, 0), WAIT_OBJECT_0);
}

TEST_F(SerialTest, SetCommMaskEndsAPendingWaitAndCancelIoAbortsIt) {
    ASSERT_TRUE(SetCommMask(port_, EV_RXFLAG));
    ASSERT_FALSE(StartWait());
    mask_ = 0xFFFF;
    ASSERT_TRUE(SetCommMask(port_, EV_RXFLAG));
    ASSERT_EQ(WaitForSingleObject(waitBlock_.hEvent, LongWait), WAIT_OBJECT_0);
    DWORD transferred = 0;
    EXPECT_TRUE(GetOverlappedResult(port_, &waitBlock_, &transferred, FALSE));
    EXPECT_EQ(mask_, 0u);

    ASSERT_FALSE(StartWait());
    ASSERT_TRUE(CancelIo(port_));
    ASSERT_EQ(WaitForSingleObject(waitBlock_.hEvent, LongWait), WAIT_OBJECT_0);
    EXPECT_FALSE(GetOverlappedResult(port_, &waitBlock_, &transferred, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));

    EXPECT_FALSE(SetCommMask(port_, EV_CTS));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
}

TEST_F(SerialTest, PurgeDiscardsWhatWasReceived) {
    DCB dcb = State();
    dcb.EvtChar = '\n';
    ASSERT_TRUE(SetCommState(port_, &dcb));
    ASSERT_TRUE(SetCommMask(port_, EV_RXFLAG));
    ASSERT_FALSE(StartWait());
    ASSERT_TRUE(peer_.Send("old line\n"));
    ASSERT_EQ(WaitForSingleObject(waitBlock_.hEvent, LongWait), WAIT_OBJECT_0);
    EXPECT_GT(Queued(), 0u);
    ASSERT_TRUE(PurgeComm(port_, PURGE_RXCLEAR));
    EXPECT_EQ(Queued(), 0u);
    LARGE_INTEGER times[4];
    EXPECT_EQ(KestruneGetCommArrivalTimes(port_, times, 4), 0u);
    KESTRUNE_COMM_CHUNK chunks[4];
    EXPECT_EQ(KestruneGetCommChunkTimes(port_, chunks, 4), 0u);

    ASSERT_FALSE(StartWait());
    ASSERT_TRUE(peer_.Send("new\n"));
    ASSERT_EQ(WaitForSingleObject(waitBlock_.hEvent, LongWait), WAIT_OBJECT_0);
    EXPECT_EQ(ReadQueued(), "new\n");
    ASSERT_EQ(KestruneGetCommChunkTimes(port_, chunks, 4), 1u);  // only what came after the purge
    EXPECT_EQ(chunks[0].Bytes, 4u);
    EXPECT_FALSE(PurgeComm(port_, 0x100));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(SerialTest, ReadsFollowTheTimeouts) {
    // No timeouts: a read completes when all requested bytes are there.
    char text[16];
    DWORD got = 0;
    ASSERT_FALSE(ReadFile(port_, text, 4, &got, &readBlock_));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_TRUE(peer_.Send("ab"));
    ASSERT_TRUE(peer_.Send("cd"));
    ASSERT_TRUE(GetOverlappedResult(port_, &readBlock_, &got, TRUE));
    EXPECT_EQ(std::string(text, got), "abcd");

    // Interval MAXDWORD, totals 0: at once with what is there, even nothing.
    COMMTIMEOUTS immediate = {MAXDWORD, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port_, &immediate));
    EXPECT_TRUE(ReadFile(port_, text, sizeof text, &got, &readBlock_));
    EXPECT_EQ(got, 0u);

    // A total timeout ends a read with the bytes that came.
    COMMTIMEOUTS total = {0, 0, 50, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port_, &total));
    ASSERT_TRUE(peer_.Send("xyz"));
    if (!ReadFile(port_, text, sizeof text, &got, &readBlock_)) {
        ASSERT_TRUE(GetOverlappedResult(port_, &readBlock_, &got, TRUE));
    }
    EXPECT_EQ(std::string(text, got), "xyz");
}

TEST_F(SerialTest, WritesReachThePeer) {
    const std::string text = "hello instrument\r\n";
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(port_, text.data(), static_cast<DWORD>(text.size()), &written, &readBlock_));
    EXPECT_EQ(written, text.size());
    EXPECT_TRUE(FlushFileBuffers(port_));
    EXPECT_EQ(peer_.Receive(text.size()), text);
}

// The engine's cycle (wait for the event character, count, read, re-arm) over a long stream
// through a small receive queue: every byte arrives once and in order, and there is one
// arrival reading per event character, and chunk readings in order that cover every byte read.
TEST_F(SerialTest, NoByteLostDuplicatedOrReordered) {
    ASSERT_TRUE(SetupComm(port_, 512, 512));
    DCB dcb = State();
    dcb.EvtChar = '\n';
    ASSERT_TRUE(SetCommState(port_, &dcb));

    std::string sent;
    for (int i = 0; i < 4000; ++i)
        sent += "M" + std::to_string(i) + ",1.25,-0.50,0.03,21.40\n";
    std::thread writer([this, &sent] {
        for (size_t at = 0; at < sent.size(); at += 700)
            peer_.Send(sent.substr(at, 700));
    });

    std::string received;
    size_t lines = 0, readings = 0, chunkBytes = 0;
    LONGLONG previous = 0, previousChunk = 0;
    bool ordered = true, chunksOrdered = true;
    while (received.size() < sent.size()) {
        // Arm first, then read everything queued: an event character that comes after the
        // read completes the armed wait, one that came before is in what was read.
        ASSERT_TRUE(SetCommMask(port_, EV_RXFLAG));
        bool fired = StartWait();
        std::string chunk = ReadQueued();
        if (chunk.empty() && !fired) {
            ASSERT_EQ(WaitForSingleObject(waitBlock_.hEvent, LongWait), WAIT_OBJECT_0);
        }
        received += chunk;
        for (char c : chunk)
            lines += c == '\n';
        LARGE_INTEGER times[64];
        DWORD n;
        while ((n = KestruneGetCommArrivalTimes(port_, times, 64)) > 0) {
            for (DWORD i = 0; i < n; ++i) {
                ordered = ordered && times[i].QuadPart >= previous;
                previous = times[i].QuadPart;
            }
            readings += n;
        }
        KESTRUNE_COMM_CHUNK chunks[64];
        while ((n = KestruneGetCommChunkTimes(port_, chunks, 64)) > 0) {
            for (DWORD i = 0; i < n; ++i) {
                chunksOrdered =
                    chunksOrdered && chunks[i].Arrival.QuadPart >= previousChunk && chunks[i].Bytes > 0;
                previousChunk = chunks[i].Arrival.QuadPart;
                chunkBytes += chunks[i].Bytes;
            }
        }
        ASSERT_EQ(chunkBytes, received.size());
    }
    writer.join();
    EXPECT_TRUE(received == sent);
    EXPECT_EQ(lines, 4000u);
    EXPECT_EQ(readings, lines);
    EXPECT_TRUE(ordered);
    EXPECT_TRUE(chunksOrdered);
    // A pty is no USB adapter: nothing holds its bytes back.
    KESTRUNE_COMM_LATENCY latency = {7, 7};
    ASSERT_TRUE(KestruneGetCommLatency(port_, &latency));
    EXPECT_EQ(latency.LowLatencyRefused, 0u);
    EXPECT_EQ(latency.LatencyTimerMs, 0u);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    EXPECT_LE(previous, now.QuadPart);
}

// The other end going away (a pty's master closed, a USB adapter pulled out) ends a pending
// wait as aborted; what arrived before stays readable, and then the port reports failures.
TEST_F(SerialTest, HangUpEndsThePendingWaitKeepsWhatArrivedThenFails) {
    DCB dcb = State();
    dcb.EvtChar = '\n';
    ASSERT_TRUE(SetCommState(port_, &dcb));
    ASSERT_TRUE(SetCommMask(port_, EV_RXFLAG));
    ASSERT_FALSE(StartWait());
    ASSERT_TRUE(peer_.Send("last words\n"));
    ASSERT_EQ(WaitForSingleObject(waitBlock_.hEvent, LongWait), WAIT_OBJECT_0);

    ASSERT_FALSE(StartWait());
    peer_.HangUp();
    ASSERT_EQ(WaitForSingleObject(waitBlock_.hEvent, LongWait), WAIT_OBJECT_0);
    DWORD transferred = 0;
    EXPECT_FALSE(GetOverlappedResult(port_, &waitBlock_, &transferred, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));

    EXPECT_EQ(ReadQueued(), "last words\n");
    DWORD errors = 0;
    COMSTAT status = {};
    EXPECT_FALSE(ClearCommError(port_, &errors, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    char byte = 0;
    DWORD got = 0;
    EXPECT_FALSE(ReadFile(port_, &byte, 1, &got, &readBlock_));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_FALSE(WaitCommEvent(port_, &mask_, &waitBlock_));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_TRUE(CloseHandle(port_));
    port_ = INVALID_HANDLE_VALUE;
}

TEST_F(SerialTest, AWaitPendingWhenTheHandleClosesEndsAborted) {
    ASSERT_TRUE(SetCommMask(port_, EV_RXFLAG));
    ASSERT_FALSE(StartWait());
    ASSERT_TRUE(CloseHandle(port_));
    port_ = INVALID_HANDLE_VALUE;
    ASSERT_EQ(WaitForSingleObject(waitBlock_.hEvent, LongWait), WAIT_OBJECT_0);
    DWORD transferred = 0;
    EXPECT_FALSE(GetOverlappedResult(nullptr, &waitBlock_, &transferred, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
}

// A receive queue 80 % full fires EV_RX80FULL, so bytes without the event character are
// still read.
TEST_F(SerialTest, AQueueEightyPercentFullFiresItsEvent) {
    ASSERT_TRUE(SetupComm(port_, 1024, 1024));
    DCB dcb = State();
    dcb.EvtChar = '\n';
    ASSERT_TRUE(SetCommState(port_, &dcb));
    ASSERT_TRUE(SetCommMask(port_, EV_RXFLAG | EV_RX80FULL));
    ASSERT_FALSE(StartWait());
    ASSERT_TRUE(peer_.Send(std::string(900, 'x')));
    ASSERT_EQ(WaitForSingleObject(waitBlock_.hEvent, LongWait), WAIT_OBJECT_0);
    EXPECT_EQ(mask_, static_cast<DWORD>(EV_RX80FULL));
    EXPECT_EQ(ReadQueued(), std::string(900, 'x'));
}

TEST_F(SerialTest, CallsOnOtherHandlesFail) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DCB dcb = {};
    EXPECT_FALSE(GetCommState(event, &dcb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(PurgeComm(event, PURGE_RXCLEAR));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(event);
}

}  // namespace
