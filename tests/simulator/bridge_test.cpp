// The bridge as the bus sees it: descriptors, standard, vendor and class requests, the
// register snapshot, and the USB-level faults.
#include <array>

#include "fixture.h"

namespace simtest {
namespace {

using simulator::DescriptorFault;

struct Endpoint {
    std::uint8_t address, attributes;
    std::uint16_t packet;
};
struct Interface {
    std::uint8_t alternate;
    std::vector<Endpoint> endpoints;
};

// Walks a configuration descriptor; fails the test on a malformed one.
std::vector<Interface> ParseInterfaces(const std::vector<std::uint8_t>& config) {
    std::vector<Interface> interfaces;
    std::size_t at = 0;
    while (at + 2 <= config.size()) {
        const std::uint8_t length = config[at], type = config[at + 1];
        EXPECT_GE(length, 2);
        if (length < 2 || at + length > config.size()) break;
        if (type == 4) {
            interfaces.push_back({config[at + 3], {}});
            EXPECT_EQ(config[at + 2], 0);
        }
        if (type == 5 && !interfaces.empty())
            interfaces.back().endpoints.push_back(
                {config[at + 2], config[at + 3], static_cast<std::uint16_t>(config[at + 4] | config[at + 5] << 8)});
        at += length;
    }
    EXPECT_EQ(at, config.size());
    return interfaces;
}

class BridgeTest : public CameraTest {
protected:
    std::vector<std::uint8_t> Configuration(std::uint16_t length, Reply* reply = nullptr) {
        return host().ControlIn(0x80, 6, 0x0200, 0, length, reply);
    }
};

TEST_F(BridgeTest, DescriptorsOfferThreeAlternatesWithBulkPipesInTheSecond) {
    const auto device = host().ControlIn(0x80, 6, 0x0100, 0, 18);
    ASSERT_EQ(device.size(), 18u);
    EXPECT_EQ(device[0], 18);
    EXPECT_EQ(device[1], 1);
    EXPECT_EQ(device[8] | device[9] << 8, simulator::kVendorId);
    EXPECT_EQ(device[17], 1);

    const auto header = Configuration(9);
    ASSERT_EQ(header.size(), 9u);
    const std::uint16_t total = static_cast<std::uint16_t>(header[2] | header[3] << 8);
    const auto config = Configuration(total);
    ASSERT_EQ(config.size(), total);
    EXPECT_EQ(Configuration(1000).size(), total);  // never more than it has

    const auto interfaces = ParseInterfaces(config);
    ASSERT_EQ(interfaces.size(), 3u);
    const Interface& bridge = interfaces[2];
    EXPECT_EQ(bridge.alternate, 2);
    ASSERT_EQ(bridge.endpoints.size(), 3u);
    EXPECT_EQ(bridge.endpoints[0].address, 0x01);
    EXPECT_EQ(bridge.endpoints[0].attributes, 2);
    EXPECT_EQ(bridge.endpoints[1].address, 0x82);
    EXPECT_EQ(bridge.endpoints[1].attributes, 2);
    EXPECT_EQ(bridge.endpoints[1].packet, 64);
    EXPECT_EQ(bridge.endpoints[2].attributes, 3);
}

TEST_F(BridgeTest, DescriptorFaultsShowAsAsked) {
    probe().SetDescriptorFault(DescriptorFault::TotalLengthBelow9);
    auto header = Configuration(9);
    EXPECT_EQ(header[2] | header[3] << 8, 7);

    probe().SetDescriptorFault(DescriptorFault::ConfigurationShort);
    header = Configuration(9);
    const std::uint16_t claimed = static_cast<std::uint16_t>(header[2] | header[3] << 8);
    EXPECT_EQ(Configuration(claimed).size(), claimed - 9u);

    probe().SetDescriptorFault(DescriptorFault::TooManyEndpoints);
    header = Configuration(9);
    auto interfaces = ParseInterfaces(Configuration(static_cast<std::uint16_t>(header[2] | header[3] << 8)));
    ASSERT_EQ(interfaces.size(), 3u);
    EXPECT_GT(interfaces[2].endpoints.size(), 4u);

    probe().SetDescriptorFault(DescriptorFault::NoAlternateSetting2);
    header = Configuration(9);
    interfaces = ParseInterfaces(Configuration(static_cast<std::uint16_t>(header[2] | header[3] << 8)));
    ASSERT_EQ(interfaces.size(), 2u);
    EXPECT_EQ(host().ControlOut(0x00, 9, 1).reply, Reply::Ack);
    EXPECT_EQ(host().ControlOut(0x01, 11, 2, 0).reply, Reply::Stall);
}

TEST_F(BridgeTest, UnknownRequestsStallAndStandardOnesAnswer) {
    std::array<std::uint8_t, 8> buffer{};
    EXPECT_EQ(host().Control(0x80, 0x2A, 0, 0, buffer).reply, Reply::Stall);    // no such request
    EXPECT_EQ(host().Control(0x80, 6, 0x0400, 0, buffer).reply, Reply::Stall);  // interface descriptor
    EXPECT_EQ(host().Control(0xC0, 7, 0, 0, buffer).reply, Reply::Stall);       // vendor 7
    EXPECT_EQ(host().Control(0xA1, 9, 0, 0, buffer).reply, Reply::Stall);       // class 9
    EXPECT_EQ(host().ControlOut(0x00, 9, 2).reply, Reply::Stall);               // configuration 2

    EXPECT_EQ(host().ControlIn(0x80, 8, 0, 0, 1), std::vector<std::uint8_t>{0});
    ASSERT_TRUE(host().Configure());
    EXPECT_EQ(host().ControlIn(0x80, 8, 0, 0, 1), std::vector<std::uint8_t>{1});
    EXPECT_EQ(host().ControlIn(0x81, 10, 0, 0, 1), std::vector<std::uint8_t>{2});
    EXPECT_EQ(host().ControlIn(0x80, 6, 0x0302, 0, 255).size(), 2u + 2 * 27);
}

TEST_F(BridgeTest, RegistersLandInTheSnapshotWhereTheLookupTableSaysTheyAre) {
    ASSERT_TRUE(host().SetReg(kControl, 0xCC));
    ASSERT_TRUE(host().SetReg(kData, 0x5A));
    ASSERT_TRUE(host().SetReg(7, 0xF8));
    ASSERT_TRUE(host().SetReg(3, 0x33));
    ASSERT_TRUE(host().SetReg(8, 0x81));
    ASSERT_TRUE(host().SetReg(kExtendedControl, 0x63));
    EXPECT_EQ(host().GetReg(kControl), 0xCC);
    EXPECT_EQ(host().GetReg(kData), 0x5A);
    EXPECT_EQ(host().GetReg(7), 0xF8);
    EXPECT_EQ(host().GetReg(3), 0x33);
    EXPECT_EQ(host().GetReg(4), 0x33);         // EPP address and data share a byte
    EXPECT_EQ(host().GetReg(8), 0x81);         // seventh byte, asked for with 7
    EXPECT_EQ(host().GetReg(kExtendedControl), 0x61);  // ECP mode, FIFO empty
    EXPECT_EQ(host().GetReg(kStatus), 0xD8);   // compatibility idle: Busy low, nAck, Select, nFault high

    const auto bridge = probe().bridgeRegisters();
    EXPECT_EQ(bridge.control, 0xCC);
    EXPECT_EQ(bridge.bridgeSetup, 0xF8);

    EXPECT_EQ(host().ControlIn(0xC0, 3, 0x0200, 0, 7).size(), 6u);  // 6 bytes unless index 8
    EXPECT_EQ(host().ControlIn(0xC0, 3, 0x0800, 0, 7).size(), 7u);
    EXPECT_FALSE(host().SetReg(9, 1));
    EXPECT_FALSE(host().SetReg(200, 1));
    Reply reply;
    host().ControlIn(0xC0, 3, 0x0900, 0, 6, &reply);
    EXPECT_EQ(reply, Reply::Stall);
}

TEST_F(BridgeTest, SoftResetRestoresThePortAndCanBeRefused) {
    ASSERT_TRUE(host().SetReg(kControl, 0xCE));
    ASSERT_TRUE(host().SetReg(kExtendedControl, 0x63));
    EXPECT_EQ(host().ControlOut(0x21, 2, 0, 0).reply, Reply::Ack);
    EXPECT_EQ(host().GetReg(kControl), 0xC4);
    EXPECT_EQ(host().GetReg(kExtendedControl), 0x01);

    probe().SetSoftResetRefused(true);
    ASSERT_TRUE(host().SetReg(kControl, 0xCE));
    EXPECT_EQ(host().ControlOut(0x21, 2, 0, 0).reply, Reply::Stall);
    EXPECT_EQ(host().GetReg(kControl), 0xCE);
}

TEST_F(BridgeTest, DeviceIdStartsWithItsBigEndianLength) {
    const auto id = host().ControlIn(0xA1, 0, 0, 2, 1024);
    ASSERT_GT(id.size(), 2u);
    EXPECT_EQ(static_cast<std::size_t>(id[0] << 8 | id[1]), id.size());
    const std::string text(id.begin() + 2, id.end());
    EXPECT_NE(text.find("CMD:ECP"), std::string::npos);
    EXPECT_EQ(host().ControlIn(0xA1, 0, 0, 2, 10).size(), 10u);
}

TEST_F(BridgeTest, BulkPipesNeedAlternateTwoAndHonourHaltAndReset) {
    std::uint8_t byte = 0;
    EXPECT_EQ(device().Out(kBulkOut, std::span(&byte, 1)).reply, Reply::Stall);
    ASSERT_TRUE(host().Configure());
    EXPECT_EQ(device().Out(kBulkOut, std::span(&byte, 1)).reply, Reply::Ack);
    EXPECT_EQ(device().In(kBulkIn, std::span(&byte, 1)).reply, Reply::NotYet);
    EXPECT_EQ(device().NextChance(kBulkIn), std::nullopt);  // nothing will come by itself

    probe().StallEndpoint(kBulkIn);
    EXPECT_EQ(device().In(kBulkIn, std::span(&byte, 1)).reply, Reply::Stall);
    EXPECT_EQ(host().ControlIn(0x82, 0, 0, kBulkIn, 2), (std::vector<std::uint8_t>{1, 0}));
    EXPECT_EQ(host().ControlOut(0x02, 1, 0, kBulkIn).reply, Reply::Ack);  // CLEAR_FEATURE
    EXPECT_EQ(device().In(kBulkIn, std::span(&byte, 1)).reply, Reply::NotYet);

    device().Reset();
    EXPECT_EQ(device().Out(kBulkOut, std::span(&byte, 1)).reply, Reply::Stall);
}

TEST_F(BridgeTest, AnUnpluggedBridgeIsGoneForEveryRequest) {
    ASSERT_TRUE(host().Configure());
    probe().Unplug();
    std::uint8_t byte = 0;
    EXPECT_EQ(host().ControlOut(0x40, 4, 0x0200).reply, Reply::Gone);
    EXPECT_EQ(device().Out(kBulkOut, std::span(&byte, 1)).reply, Reply::Gone);
    EXPECT_EQ(device().In(kBulkIn, std::span(&byte, 1)).reply, Reply::Gone);
    EXPECT_EQ(device().NextChance(kBulkIn), std::nullopt);
}

}  // namespace
}  // namespace simtest
