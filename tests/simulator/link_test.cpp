// The cable: IEEE 1284 handshakes answered as the library waits for them, forward command
// and data bytes reaching the controller, and the serial bus behind register 0x18.
#include <algorithm>

#include "fixture.h"

namespace simtest {
namespace {

using simulator::LineEvent;
using simulator::LinkPhase;

std::vector<std::uint8_t> Events(const std::vector<LineEvent>& trace, LineEvent::Kind kind) {
    std::vector<std::uint8_t> values;
    for (const auto& e : trace)
        if (e.kind == kind) values.push_back(e.value);
    return values;
}

class LinkTest : public CameraTest {
protected:
    void SetUp() override {
        CameraTest::SetUp();
        ASSERT_TRUE(host().Configure());
        ASSERT_TRUE(host().SetReg(6, 0x03));
    }
};

TEST_F(LinkTest, NegotiationAndTerminationAnswerEveryStatusTheHostWaitsFor) {
    EXPECT_EQ(host().NegotiateEcp(), 0);
    EXPECT_EQ(probe().linkPhase(), LinkPhase::EcpForward);
    EXPECT_EQ(Events(probe().lineTrace(), LineEvent::Kind::Status),
              (std::vector<std::uint8_t>{0xB8, 0xD8, 0xF8}));

    probe().ClearLineTrace();
    EXPECT_EQ(host().TerminateEcp(), 0);
    EXPECT_EQ(probe().linkPhase(), LinkPhase::Compatibility);
    EXPECT_EQ(Events(probe().lineTrace(), LineEvent::Kind::Status),
              (std::vector<std::uint8_t>{0xB8, 0xD8}));

    // Again from a link left in ECP mode: the nInit pulse resets the peripheral first.
    EXPECT_EQ(host().NegotiateEcp(), 0);
    EXPECT_EQ(host().NegotiateEcp(), 0);
    EXPECT_EQ(probe().linkPhase(), LinkPhase::EcpForward);
}

TEST_F(LinkTest, APeripheralThatIgnoresNegotiationTimesOutTheFirstWait) {
    probe().SetNegotiationIgnored(true);
    const auto start = host().clock().Now();
    EXPECT_EQ(host().NegotiateEcp(), 8);
    EXPECT_GE(host().clock().Now() - start, std::chrono::milliseconds(100));
    EXPECT_EQ(probe().linkPhase(), LinkPhase::Compatibility);
    EXPECT_EQ(probe().bridgeRegisters().control, 0xC6);
    EXPECT_EQ(probe().bridgeRegisters().status, 0xD8);
}

TEST_F(LinkTest, AnotherExtensibilityByteIsRefusedWithSelectLow) {
    host().SetReg(kControl, 0xCC);
    host().SetReg(kData, 0x14);
    host().SetReg(kControl, 0xC6);
    EXPECT_EQ(host().WaitStatus(0x78, 0x38), 0);
    host().SetReg(kControl, 0xC7);
    host().SetReg(kControl, 0xC4);
    EXPECT_EQ(host().WaitStatus(0xF8, 0xC8), 0);
    host().SetReg(kControl, 0xC6);
    EXPECT_EQ(host().WaitStatus(0x20, 0x20), 8);
    EXPECT_EQ(probe().linkPhase(), LinkPhase::Compatibility);
}

TEST_F(LinkTest, ForwardBytesSelectAndWriteControllerRegisters) {
    ASSERT_EQ(host().NegotiateEcp(), 0);
    host().EcpData(0x77);  // no register selected yet: nowhere to go
    host().WriteControllerReg(0x05, 0x12);
    host().EcpCommand(0xC7);
    host().EcpData(0x01);
    host().EcpData(0x02);  // the same register again
    const auto regs = probe().controllerRegisters();
    EXPECT_EQ(regs[0x05], 0x12);
    EXPECT_EQ(regs[0x07], 0x02);
    EXPECT_EQ(std::count(regs.begin(), regs.end(), 0x77), 0);

    const auto trace = probe().lineTrace();
    EXPECT_EQ(Events(trace, LineEvent::Kind::EcpCommand), (std::vector<std::uint8_t>{0xC5, 0xC7}));
    EXPECT_EQ(Events(trace, LineEvent::Kind::EcpData), (std::vector<std::uint8_t>{0x77, 0x12, 0x01, 0x02}));

    // Outside ECP FIFO mode the pipe's bytes never reach the controller.
    host().SetReg(6, 0x41);
    host().EcpCommand(0xC5);
    host().EcpData(0x99);
    EXPECT_EQ(probe().controllerRegisters()[0x05], 0x12);
}

TEST_F(LinkTest, ARegisterWriteLetsQueuedForwardBytesGoFirst) {
    ASSERT_EQ(host().NegotiateEcp(), 0);
    // No bus time between the bulk packets and the register writes behind them.
    const std::uint8_t command = 0xC5, data = 0x42;
    host().SetReg(kControl, 0xC6);
    ASSERT_EQ(device().Out(kBulkOut, std::span(&command, 1)).reply, Reply::Ack);
    device().Control({0x40, 4, 0x02C4, 0, 0}, {});
    ASSERT_EQ(device().Out(kBulkOut, std::span(&data, 1)).reply, Reply::Ack);
    device().Control({0x40, 4, 0x02E4, 0, 0}, {});  // direction reverse
    EXPECT_EQ(probe().controllerRegisters()[0x05], 0x42);
}

TEST_F(LinkTest, ReverseRequestAndItsEndTurnTheLinkAround) {
    ASSERT_EQ(host().NegotiateEcp(), 0);
    EXPECT_EQ(host().EnterReverse(), 0);
    EXPECT_EQ(probe().linkPhase(), LinkPhase::EcpReverse);
    EXPECT_FALSE(probe().streaming());  // no image command: nothing flows
    EXPECT_EQ(host().LeaveReverse(), 0);
    EXPECT_EQ(host().drained, 0u);
    EXPECT_EQ(probe().linkPhase(), LinkPhase::EcpForward);
    EXPECT_EQ(host().GetReg(kControl), 0xC4);
}

class SerialBusTest : public LinkTest {
protected:
    void SetUp() override {
        LinkTest::SetUp();
        ASSERT_EQ(host().NegotiateEcp(), 0);
    }
    // Register 0x18 selected once, then the whole line sequence as data bytes, like a flush.
    void Send(const std::vector<std::uint8_t>& lines, int times = 1) {
        host().EcpCommand(0xD8);
        host().SetReg(kControl, 0xC4);
        for (int i = 0; i < times; ++i) ASSERT_TRUE(host().BulkWrite(lines));
    }
};

TEST_F(SerialBusTest, AnAccessCodeThenAWriteSetsOneDecoderValue) {
    EXPECT_EQ(probe().decoderSetting(0x01, 0x0A), 0x36);
    Send(SerialWrite("LORV", 0x01, 0x0A, 0x50), 5);
    EXPECT_EQ(probe().decoderSetting(0x01, 0x0A), 0x50);
    EXPECT_EQ(probe().decoderSetting(0x01, 0x0B), 0x0A);
    EXPECT_EQ(probe().decoderWrites(), 5u);

    const auto bytes = Events(probe().lineTrace(), LineEvent::Kind::SerialByte);
    const std::vector<std::uint8_t> once = {0x3E, 0x00, 'L', 'O', 'R', 'V', 0x3E, 0x02, 0x01, 0x0A, 0x50};
    ASSERT_EQ(bytes.size(), 5 * once.size());
    EXPECT_TRUE(std::equal(once.begin(), once.end(), bytes.begin()));
}

TEST_F(SerialBusTest, WrongCodesCutAndMalformedSequencesChangeNothing) {
    Send(SerialWrite("LORX", 0x01, 0x0A, 0x50));
    Send(SerialWrite("LOR", 0x01, 0x0A, 0x51));

    // The write transaction cut short by a new start.
    auto cut = SerialWrite("LORV", 0x01, 0x0A, 0x52);
    cut.resize(cut.size() - 20);
    Send(cut);

    // A write with no code transaction in front of it.
    auto alone = SerialWrite("LORV", 0x01, 0x0A, 0x53);
    const long codeTransaction = 3 + 6 * 27 + 3;  // start, six acknowledged bytes, stop
    alone.erase(alone.begin() + 1, alone.begin() + 1 + codeTransaction);
    Send(alone);

    EXPECT_EQ(probe().decoderSetting(0x01, 0x0A), 0x36);
    EXPECT_EQ(probe().decoderWrites(), 0u);

    Send(SerialWrite("LORV", 0x01, 0x0C, 0x40));  // still works afterwards
    EXPECT_EQ(probe().decoderSetting(0x01, 0x0C), 0x40);
}

TEST_F(SerialBusTest, TheAccessCodeIsConfigurableAndWritesCanBeIgnored) {
    simulator::CameraOptions options;
    options.accessCode = "ABCD";
    Make(options);
    ASSERT_TRUE(host().Configure());
    ASSERT_EQ(host().NegotiateEcp(), 0);
    Send(SerialWrite("LORV", 0x01, 0x0A, 0x50));
    EXPECT_EQ(probe().decoderSetting(0x01, 0x0A), 0x36);
    Send(SerialWrite("ABCD", 0x01, 0x0A, 0x50));
    EXPECT_EQ(probe().decoderSetting(0x01, 0x0A), 0x50);

    probe().SetSerialWritesIgnored(true);
    Send(SerialWrite("ABCD", 0x01, 0x0A, 0x60));
    EXPECT_EQ(probe().decoderSetting(0x01, 0x0A), 0x50);
}

}  // namespace
}  // namespace simtest
