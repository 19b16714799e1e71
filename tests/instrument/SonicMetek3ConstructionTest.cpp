// Construction of the uSonic-3 engine: identity, serial settings and heating configuration.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/TestRoot.h"
#include "instrument/SonicMetek3ClassAMPSerial.h"

namespace {

class ConstructionTest : public ::testing::Test {
protected:
    TestRoot root_;
    EventLog log_{"Construction Test EventLog", root_.Drive("C:\\Data\\ConstructionTest").c_str()};
};

TEST_F(ConstructionTest, IdentityAndSerialSettings) {
    auto sonic = std::make_unique<SonicMetek3ClassAMPSerial>("Metek", "666", log_);
    EXPECT_STREQ(sonic->InstrumentName, "Metek");
    EXPECT_STREQ(sonic->SerialNumber, "666");
    EXPECT_STREQ(sonic->ModelDescription, "Metek uSonic-3 CLASS-A MP");

    EXPECT_EQ(sonic->ComPort, 1);
    EXPECT_EQ(sonic->BaudRate, 57600u);
    EXPECT_EQ(sonic->Parity, 'N');
    EXPECT_EQ(sonic->DataBits, 8);
    EXPECT_EQ(sonic->StopBits, 1);
    EXPECT_EQ(sonic->FlowControl, 0u);
    EXPECT_EQ(sonic->InputQueueSize, 32768u);
    EXPECT_EQ(sonic->OutputQueueSize, 32768u);
    EXPECT_EQ(sonic->LineTerminator, '\n');
    EXPECT_EQ(sonic->ReceiveAreaCount, 0u);
}

TEST_F(ConstructionTest, HeatingConfiguration) {
    auto sonic = std::make_unique<SonicMetek3ClassAMPSerial>("Metek", "666", log_);
    EXPECT_EQ(sonic->HeatingMode, 3);
    EXPECT_STREQ(sonic->HeatingModeNames[0], "off permanently");
    EXPECT_STREQ(sonic->HeatingModeNames[1], "on permanently");
    EXPECT_STREQ(sonic->HeatingModeNames[2], "auto using temperature");
    EXPECT_STREQ(sonic->HeatingModeNames[3], "auto using temp & data");
    EXPECT_STREQ(sonic->HeatingModeNames[sonic->HeatingMode], "auto using temp & data");
}

TEST_F(ConstructionTest, ParsingStateStartsCleared) {
    auto sonic = std::make_unique<SonicMetek3ClassAMPSerial>("Metek", "666", log_);
    EXPECT_EQ(sonic->FieldPointer, nullptr);
    EXPECT_EQ(sonic->FieldIndex, 0u);
    EXPECT_STREQ(sonic->StatusField, "");
    EXPECT_STREQ(sonic->RawStatusText, "");
    EXPECT_EQ(sonic->NumSamp, 0u);
    EXPECT_EQ(sonic->UStats.GoodSamp, 0u);
}

TEST_F(ConstructionTest, OverlongIdentityTextsAreCutToTheField) {
    const std::string longName(400, 'n');
    auto sonic = std::make_unique<SonicMetek3ClassAMPSerial>(longName.c_str(), nullptr, log_);
    EXPECT_EQ(strlen(sonic->InstrumentName), static_cast<size_t>(DataAcquisition::TextSize - 1));
    EXPECT_STREQ(sonic->SerialNumber, "");
}

TEST_F(ConstructionTest, InitializeInstrumentLeavesReinitIdleSignalled) {
    auto sonic = std::make_unique<SonicMetek3ClassAMPSerial>("Metek", "666", log_);
    EXPECT_EQ(sonic->InitializeInstrument(nullptr), 0u);
    EXPECT_EQ(WaitForSingleObject(sonic->ReinitIdleEvent, 0), WAIT_OBJECT_0);
}

}  // namespace
