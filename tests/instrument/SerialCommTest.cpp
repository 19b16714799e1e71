// SerialComm on a pty pair: construction, failed construction, Configure's codes, the
// event-character wait and the restoring destructor.
#include <gtest/gtest.h>

#include <memory>

#include "common/PtyPeer.h"
#include "common/TestRoot.h"
#include "instrument/SerialComm.h"

namespace {

class SerialCommTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = SerialComm::SettleTimeMs;
        SerialComm::SettleTimeMs = 0;
        ASSERT_TRUE(peer_.Ok());
    }
    void TearDown() override { SerialComm::SettleTimeMs = saved_; }

    TestRoot root_;
    PtyPeer peer_{4};
    DWORD saved_ = 0;
};

TEST(FloorPowerOfTwo, ReducesToAPowerOfTwo) {
    EXPECT_EQ(FloorPowerOfTwo(32768), 32768u);
    EXPECT_EQ(FloorPowerOfTwo(57600), 32768u);
    EXPECT_EQ(FloorPowerOfTwo(1000), 512u);
    EXPECT_EQ(FloorPowerOfTwo(1), 1u);
    EXPECT_EQ(FloorPowerOfTwo(0), 0u);
    EXPECT_EQ(FloorPowerOfTwo(0xFFFFFFFFu), 0x80000000u);
}

TEST_F(SerialCommTest, ConstructionOpensAndSetsTheKnownLine) {
    auto port = std::make_unique<SerialComm>(4, 32768, 1000);
    ASSERT_EQ(port->OpenFailed, 0) << port->LastError;
    EXPECT_EQ(port->LastError, 0u);
    EXPECT_EQ(port->ReceiveQueueSize, 32768u);
    EXPECT_EQ(port->TransmitQueueSize, 512u);
    EXPECT_GT(port->CountsPerMillisecond, 0.0);
    EXPECT_GE(port->TimerOverheadMs, 0.0);

    EXPECT_EQ(port->LineSettings.DCBlength, 28u);
    EXPECT_EQ(port->LineSettings.BaudRate, 9600u);
    EXPECT_EQ(port->LineSettings.ByteSize, 8);
    EXPECT_EQ(port->LineSettings.Parity, NOPARITY);
    EXPECT_EQ(port->LineSettings.StopBits, ONESTOPBIT);
    DWORD flags = 0;
    memcpy(&flags, reinterpret_cast<const char *>(&port->LineSettings) + 8, sizeof flags);
    EXPECT_EQ(flags, SerialComm::InitialFlags);

    DCB state = {};
    ASSERT_EQ(port->GetState(&state), 0u);
    EXPECT_EQ(state.BaudRate, 9600u);
}

TEST_F(SerialCommTest, MissingOrHeldPortFailsConstruction) {
    setenv("KESTRUNE_COM5", "/nonexistent/tty", 1);
    auto missing = std::make_unique<SerialComm>(5, 32768, 32768);
    unsetenv("KESTRUNE_COM5");
    EXPECT_EQ(missing->OpenFailed, 1);
    EXPECT_EQ(missing->LastError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    missing.reset();  // deleting a port that never opened neither fails nor blocks

    auto first = std::make_unique<SerialComm>(4, 32768, 32768);
    ASSERT_EQ(first->OpenFailed, 0);
    auto second = std::make_unique<SerialComm>(4, 32768, 32768);
    EXPECT_EQ(second->OpenFailed, 1);
    EXPECT_EQ(second->LastError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(SerialCommTest, ConfigureMapsParityStopBitsAndFlowControl) {
    auto port = std::make_unique<SerialComm>(4, 32768, 32768);
    ASSERT_EQ(port->OpenFailed, 0);

    EXPECT_EQ(port->Configure(57600, 'N', 8, 1, 0), 0u);
    EXPECT_EQ(port->LineSettings.BaudRate, 57600u);
    EXPECT_EQ(port->LineSettings.StopBits, ONESTOPBIT);
    // Flow control 0 keeps DTR and RTS on, as set at construction.
    EXPECT_EQ(port->LineSettings.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(port->LineSettings.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    DCB state = {};
    ASSERT_EQ(port->GetState(&state), 0u);
    EXPECT_EQ(state.BaudRate, 57600u);

    EXPECT_EQ(port->Configure(57600, 'x', 8, 2, 1), 0u);
    EXPECT_EQ(port->LineSettings.Parity, NOPARITY);
    EXPECT_EQ(port->LineSettings.StopBits, TWOSTOPBITS);
    EXPECT_EQ(port->LineSettings.fOutX, 1u);
    EXPECT_EQ(port->LineSettings.fInX, 1u);
    EXPECT_EQ(port->LineSettings.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
    EXPECT_EQ(port->LineSettings.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    EXPECT_EQ(port->LineSettings.fTXContinueOnXoff, 1u);
    EXPECT_EQ(port->LineSettings.XonLim, 1024);
    EXPECT_EQ(port->LineSettings.XoffLim, 512);
    EXPECT_EQ(port->LineSettings.XonChar, 0x11);
    EXPECT_EQ(port->LineSettings.XoffChar, 0x13);
    EXPECT_EQ(port->Configure(57600, 'N', 8, 3, 0), 0u);
    EXPECT_EQ(port->LineSettings.StopBits, ONESTOPBIT);

    // The parity and stop-bit codes are mapped whether or not the device takes them (a pty
    // keeps 8 data bits without parity, so these are refused and LineSettings stays).
    const struct {
        char parity;
        BYTE expected;
    } parities[] = {
        {'e', EVENPARITY}, {'E', EVENPARITY}, {'o', ODDPARITY}, {'M', MARKPARITY}, {'s', SPACEPARITY}};
    for (const auto &p : parities) {
        DWORD result = port->Configure(57600, p.parity, 8, 1, 0);
        EXPECT_EQ(port->ScratchLineSettings.Parity, p.expected) << p.parity;
        EXPECT_NE(result, 0u);
        EXPECT_EQ(port->LastSetResult, FALSE);
        EXPECT_EQ(port->LineSettings.Parity, NOPARITY);
    }
    EXPECT_NE(port->Configure(57600, 'N', 8, 15, 0), 0u);  // 1.5 stop bits need 5 data bits
    EXPECT_EQ(port->ScratchLineSettings.StopBits, ONE5STOPBITS);
    EXPECT_EQ(port->LineSettings.StopBits, ONESTOPBIT);
    EXPECT_NE(port->Configure(12345, 'N', 8, 1, 0), 0u);
    EXPECT_EQ(port->LineSettings.BaudRate, 57600u);
}

TEST_F(SerialCommTest, ReceiveFlagWaitFiresOnTheEventCharacter) {
    auto port = std::make_unique<SerialComm>(4, 32768, 32768);
    ASSERT_EQ(port->OpenFailed, 0);
    EXPECT_EQ(port->SetEventChar('\n'), 0u);
    EXPECT_EQ(port->LineSettings.EvtChar, '\n');
    HANDLE event = nullptr;
    ASSERT_EQ(port->ArmReceiveFlagWait(&event), 0u);
    ASSERT_EQ(event, port->Overlapped[2].hEvent);
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    ASSERT_TRUE(peer_.Send("0000000011000,1.5,-2.25,0.1,20.3\n"));
    EXPECT_EQ(WaitForSingleObject(event, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(port->EventMask, EV_RXFLAG);
}

TEST_F(SerialCommTest, DestructorPutsThePreviousSettingsBack) {
    HANDLE raw = CreateFileA(peer_.PortName().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(raw, INVALID_HANDLE_VALUE);
    DCB before = {};
    ASSERT_TRUE(GetCommState(raw, &before));
    before.BaudRate = CBR_19200;
    before.StopBits = TWOSTOPBITS;
    ASSERT_TRUE(SetCommState(raw, &before));
    COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(raw, &timeouts));
    CloseHandle(raw);  // on a pty the settings outlive the handle

    auto port = std::make_unique<SerialComm>(4, 32768, 32768);
    ASSERT_EQ(port->OpenFailed, 0);
    EXPECT_EQ(port->SavedLineSettings.BaudRate, static_cast<DWORD>(CBR_19200));
    ASSERT_EQ(port->Configure(57600, 'N', 8, 1, 0), 0u);
    port.reset();

    raw = CreateFileA(peer_.PortName().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                      FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(raw, INVALID_HANDLE_VALUE);
    DCB after = {};
    ASSERT_TRUE(GetCommState(raw, &after));
    EXPECT_EQ(after.BaudRate, static_cast<DWORD>(CBR_19200));
    EXPECT_EQ(after.StopBits, TWOSTOPBITS);
    CloseHandle(raw);
}

}  // namespace
