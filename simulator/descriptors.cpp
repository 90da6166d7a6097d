#include "descriptors.h"

#include <algorithm>
#include <initializer_list>
#include <string_view>

namespace simulator {
namespace {

constexpr std::uint8_t kPrinterClass = 0x07;
constexpr std::uint8_t kPrinterSubClass = 0x01;

// Byte by byte: GCC 12 warns falsely about inserting an initializer list into a vector.
void Append(std::vector<std::uint8_t>& out, std::initializer_list<std::uint8_t> bytes) {
    for (std::uint8_t b : bytes) out.push_back(b);
}

void AppendWord(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void AppendInterface(std::vector<std::uint8_t>& out, std::uint8_t alternate,
                     std::uint8_t endpoints, std::uint8_t protocol) {
    Append(out, {9, 0x04, 0, alternate, endpoints, kPrinterClass, kPrinterSubClass, protocol, 0});
}

void AppendEndpoint(std::vector<std::uint8_t>& out, std::uint8_t address,
                    std::uint8_t attributes, std::uint16_t packet, std::uint8_t interval) {
    Append(out, {7, 0x05, address, attributes});
    AppendWord(out, packet);
    out.push_back(interval);
}

constexpr std::uint8_t kBulk = 0x02;
constexpr std::uint8_t kInterrupt = 0x03;

}  // namespace

std::vector<std::uint8_t> DeviceDescriptor() {
    std::vector<std::uint8_t> out = {18, 0x01};
    AppendWord(out, 0x0110);  // USB 1.1
    Append(out, {0, 0, 0, 8});
    AppendWord(out, kVendorId);
    AppendWord(out, kProductId);
    AppendWord(out, 0x0100);
    Append(out, {1, 2, 0, 1});
    return out;
}

std::vector<std::uint8_t> ConfigurationDescriptor(DescriptorFault fault) {
    std::vector<std::uint8_t> out = {9, 0x02, 0, 0, 1, 1, 0, 0x80, 50};
    // Alternate 0: unidirectional printer; 1: bidirectional; 2: the bridge's own, with both
    // bulk pipes for ECP data and an interrupt pipe, in the order the driver relies on.
    AppendInterface(out, 0, 1, 0x01);
    AppendEndpoint(out, kInterruptInEndpoint, kInterrupt, 1, 10);
    AppendInterface(out, 1, 2, 0x02);
    AppendEndpoint(out, kBulkOutEndpoint, kBulk, kBulkPacketBytes, 0);
    AppendEndpoint(out, kInterruptInEndpoint, kInterrupt, 1, 10);
    if (fault != DescriptorFault::NoAlternateSetting2) {
        const bool many = fault == DescriptorFault::TooManyEndpoints;
        AppendInterface(out, 2, many ? 6 : 3, 0xFF);
        AppendEndpoint(out, kBulkOutEndpoint, kBulk, kBulkPacketBytes, 0);
        AppendEndpoint(out, kBulkInEndpoint, kBulk, kBulkPacketBytes, 0);
        AppendEndpoint(out, kInterruptInEndpoint, kInterrupt, 1, 10);
        if (many) {
            AppendEndpoint(out, 0x04, kBulk, kBulkPacketBytes, 0);
            AppendEndpoint(out, 0x85, kBulk, kBulkPacketBytes, 0);
            AppendEndpoint(out, 0x86, kInterrupt, 8, 10);
        }
    }
    std::uint16_t total = static_cast<std::uint16_t>(out.size());
    if (fault == DescriptorFault::TotalLengthBelow9) total = 7;
    out[2] = static_cast<std::uint8_t>(total & 0xFF);
    out[3] = static_cast<std::uint8_t>(total >> 8);
    if (fault == DescriptorFault::ConfigurationShort) out.resize(out.size() - 9);
    return out;
}

std::vector<std::uint8_t> StringDescriptor(std::uint8_t index) {
    std::string_view text;
    switch (index) {
        case 0: return {4, 0x03, 0x09, 0x04};  // US English
        case 1: text = "Lorv"; break;
        case 2: text = "Lorv parallel camera bridge"; break;
        default: return {};
    }
    std::vector<std::uint8_t> out = {static_cast<std::uint8_t>(2 + 2 * text.size()), 0x03};
    for (char c : text) AppendWord(out, static_cast<std::uint8_t>(c));
    return out;
}

int AlternateSettingCount(DescriptorFault fault) {
    return fault == DescriptorFault::NoAlternateSetting2 ? 2 : 3;
}

std::vector<std::uint8_t> Ieee1284DeviceId() {
    constexpr std::string_view kId =
        "MFG:Lorv;MDL:LC-1 Parallel Camera;CMD:ECP,IMAGE;CLS:IMAGE;DES:Lorv LC-1 camera;";
    const std::size_t length = kId.size() + 2;
    std::vector<std::uint8_t> out(length);
    out[0] = static_cast<std::uint8_t>(length >> 8);
    out[1] = static_cast<std::uint8_t>(length & 0xFF);
    std::copy(kId.begin(), kId.end(), out.begin() + 2);
    return out;
}

}  // namespace simulator
