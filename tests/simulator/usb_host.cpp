#include "usb_host.h"

#include <algorithm>
#include <chrono>

namespace simtest {

using namespace std::chrono_literals;

namespace {
// The driver's table: which snapshot byte holds each register.
constexpr std::uint8_t kSnapshotByte[9] = {4, 0, 1, 5, 5, 4, 2, 3, 6};
}  // namespace

TransferReply UsbHost::Control(std::uint8_t requestType, std::uint8_t request,
                               std::uint16_t value, std::uint16_t index,
                               std::span<std::uint8_t> data) {
    const platform::usb::SetupPacket setup{requestType, request, value, index,
                                           static_cast<std::uint16_t>(data.size())};
    TransferReply reply = device_.Control(setup, data);
    clock_.SleepFor(1ms);
    return reply;
}

std::vector<std::uint8_t> UsbHost::ControlIn(std::uint8_t requestType, std::uint8_t request,
                                             std::uint16_t value, std::uint16_t index,
                                             std::uint16_t length, Reply* reply) {
    std::vector<std::uint8_t> data(length);
    const TransferReply r = Control(requestType, request, value, index, data);
    if (reply != nullptr) *reply = r.reply;
    data.resize(r.reply == Reply::Ack ? r.bytes : 0);
    return data;
}

bool UsbHost::Configure() {
    return ControlOut(0x00, 9, 1).reply == Reply::Ack && ControlOut(0x01, 11, 2, 0).reply == Reply::Ack;
}

bool UsbHost::SetReg(std::uint8_t index, std::uint8_t value) {
    return ControlOut(0x40, 4, static_cast<std::uint16_t>(index << 8 | value)).reply == Reply::Ack;
}

std::optional<std::uint8_t> UsbHost::GetReg(std::uint8_t index) {
    const std::uint16_t length = index == 8 ? 7 : 6;
    Reply reply;
    const auto snapshot = ControlIn(0xC0, 3, static_cast<std::uint16_t>(index << 8), 0, length, &reply);
    if (reply != Reply::Ack || snapshot.size() != length || index > 8) return std::nullopt;
    return snapshot[kSnapshotByte[index]];
}

bool UsbHost::BulkWrite(std::span<const std::uint8_t> bytes, platform::Clock::Duration limit) {
    const auto deadline = clock_.Now() + limit;
    while (!bytes.empty()) {
        const auto packet = bytes.first(std::min<std::size_t>(bytes.size(), 64));
        const TransferReply r = device_.Out(kBulkOut, packet);
        if (r.reply == Reply::Ack) {
            bytes = bytes.subspan(packet.size());
            continue;
        }
        if (r.reply != Reply::NotYet) return false;
        const auto next = device_.NextChance(kBulkOut);
        if (!next || *next > deadline) return false;
        clock_.SleepFor(std::max(*next - clock_.Now(), platform::Clock::Duration(1)));
    }
    clock_.SleepFor(1ms);  // the bus frame that carried it
    return true;
}

bool UsbHost::BulkRead(std::span<std::uint8_t> bytes, platform::Clock::Duration limit) {
    const auto deadline = clock_.Now() + limit;
    while (!bytes.empty()) {
        const auto packet = bytes.first(std::min<std::size_t>(bytes.size(), 64));
        const TransferReply r = device_.In(kBulkIn, packet);
        if (r.reply == Reply::Ack) {
            bytes = bytes.subspan(r.bytes);
            if (r.bytes < packet.size()) return bytes.empty();
            continue;
        }
        if (r.reply != Reply::NotYet) return false;
        const auto next = device_.NextChance(kBulkIn);
        if (!next || *next > deadline) return false;
        clock_.SleepFor(std::max(*next - clock_.Now(), platform::Clock::Duration(1)));
    }
    return true;
}

int UsbHost::WaitStatus(std::uint8_t mask, std::uint8_t value) {
    const auto start = clock_.Now();
    for (;;) {
        const auto status = GetReg(kStatus);
        if (status && (*status & mask) == value) return 0;
        if (clock_.Now() - start > 100ms) return 8;
    }
}

int UsbHost::NegotiateEcp() {
    SetReg(kControl, 0xC8);
    SetReg(kControl, 0xCC);
    SetReg(kData, 0x10);
    SetReg(kControl, 0xC6);
    if (WaitStatus(0x78, 0x38)) return 8;
    SetReg(kControl, 0xC7);
    SetReg(kControl, 0xC4);
    if (WaitStatus(0xE8, 0xC8)) return 8;
    SetReg(kControl, 0xC6);
    if (WaitStatus(0x20, 0x20)) return 8;
    GetReg(kData);
    SetReg(kExtendedControl, 0x63);
    SetReg(kControl, 0xC4);
    return 0;
}

int UsbHost::TerminateEcp() {
    GetReg(kStatus);
    SetReg(kControl, 0xCC);
    if (WaitStatus(0x08, 0x08)) return 8;
    SetReg(kControl, 0xCE);
    if (WaitStatus(0x40, 0x40)) return 8;
    SetReg(kControl, 0xCC);
    GetReg(kStatus);
    SetReg(kExtendedControl, 0x41);
    return 0;
}

void UsbHost::EcpCommand(std::uint8_t command) {
    SetReg(kControl, static_cast<std::uint8_t>(GetReg(kControl).value_or(0) | 0x02));
    BulkWrite(std::span(&command, 1));
}

void UsbHost::EcpData(std::uint8_t data) {
    SetReg(kControl, static_cast<std::uint8_t>(GetReg(kControl).value_or(0) & ~0x02));
    BulkWrite(std::span(&data, 1));
}

int UsbHost::EnterReverse() {
    SetReg(kControl, 0xE4);
    SetReg(kControl, 0xE0);
    return WaitStatus(0x70, 0x10);
}

int UsbHost::LeaveReverse() {
    SetReg(kControl, static_cast<std::uint8_t>(GetReg(kControl).value_or(0) | 0x04));
    if (WaitStatus(0xE0, 0xE0)) return 8;
    drained = 0;
    while (!(GetReg(kExtendedControl).value_or(1) & 0x01) && drained < 100000) {
        std::uint8_t byte;
        if (!BulkRead(std::span(&byte, 1), 100ms)) break;
        ++drained;
    }
    SetReg(kControl, static_cast<std::uint8_t>(GetReg(kControl).value_or(0) & ~0x20));
    return 0;
}

int UsbHost::StartStream(std::uint8_t mode1Register) {
    WriteControllerReg(0x00, 0x02);
    WriteControllerReg(0x00, 0x00);
    WriteControllerReg(0x01, static_cast<std::uint8_t>(mode1Register | 0x80));
    EcpCommand(0xA0);
    return EnterReverse();
}

std::size_t FrameBytes(const Geometry& g) {
    const std::size_t w = g.frameWidth, h = g.frameHeight, n = w * h;
    const std::size_t p = (w + 8) * (h + 4) / 4;
    switch (g.mode) {
        case 0: return 2 * n + 4;
        case 1: return 3 * n / 2 + 4;
        case 2: return 3 * n / 4 + p + 4;
        case 3: return n / 2 + p + 4;
        default: return 3 * n / 8 + p + 4;
    }
}

void WriteGeometry(UsbHost& host, const Geometry& g) {
    static constexpr std::uint8_t kFormat[5] = {0x40, 0x44, 0xE0, 0xF0, 0xF8};
    const std::size_t start = g.mode >= 2 ? (g.frameWidth + 8) * (g.frameHeight + 4) / 4 : 0;
    const std::size_t end = FrameBytes(g) - 1;
    std::uint8_t r[0x20] = {};
    r[0x01] = static_cast<std::uint8_t>(0x18 | (g.startX & 1));
    r[0x02] = static_cast<std::uint8_t>(g.scaleY == 64 ? 0 : g.scaleY | 0x80);
    r[0x03] = static_cast<std::uint8_t>(g.scaleX == 64 ? 0 : g.scaleX | 0x80);
    auto put = [&](int at, std::size_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) r[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    };
    put(0x04, g.startX, 2);
    put(0x06, g.startY, 2);
    put(0x08, g.endX, 2);
    put(0x0A, g.endY, 2);
    r[0x0C] = 0x0E;
    put(0x0D, start, 3);
    put(0x10, end, 3);
    r[0x13] = kFormat[g.mode];
    r[0x19] = 0x0F;
    r[0x1A] = 0x0D;
    r[0x1B] = 0x10;
    for (int reg = 0x01; reg <= 0x13; ++reg) host.WriteControllerReg(static_cast<std::uint8_t>(reg), r[reg]);
    for (int reg : {0x18, 0x19, 0x1A, 0x17, 0x1B}) host.WriteControllerReg(static_cast<std::uint8_t>(reg), r[reg]);
}

std::vector<std::uint8_t> SerialWrite(const std::string& code, std::uint8_t selector,
                                      std::uint8_t address, std::uint8_t value) {
    std::vector<std::uint8_t> out;
    std::uint8_t lines = 0x0F;
    auto set = [&](int bit, bool high) {
        lines = static_cast<std::uint8_t>(high ? lines | (1 << bit) : lines & ~(1 << bit));
        out.push_back(lines);
    };
    auto clock = [&](bool high) { set(0, high); };
    auto data = [&](bool high) { set(1, high); };
    auto byte = [&](std::uint8_t b) {
        for (int i = 7; i >= 0; --i) {
            data(b >> i & 1);
            clock(true);
            clock(false);
        }
        data(true);
        clock(true);  // acknowledge clock
        clock(false);
    };
    auto transaction = [&](std::initializer_list<std::uint8_t> head, std::span<const std::uint8_t> tail) {
        clock(true);
        data(false);
        clock(false);
        for (std::uint8_t b : head) byte(b);
        for (std::uint8_t b : tail) byte(b);
        data(false);
        clock(true);
        data(true);
    };
    out.push_back(lines);
    const std::vector<std::uint8_t> codeBytes(code.begin(), code.end());
    transaction({0x3E, 0x00}, codeBytes);
    const std::uint8_t entry[3] = {selector, address, value};
    transaction({0x3E, 0x02}, entry);
    return out;
}

}  // namespace simtest
