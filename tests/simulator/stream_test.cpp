// Image output: frames back to back in every format, their size and trailer, the field
// clock and ECP rate, and the stream faults.
#include <algorithm>
#include <cstdio>

#include "fixture.h"

namespace simtest {
namespace {

using namespace std::chrono_literals;

// Windows the library programs (320 x 240 in mode 0, 160 x 120 in mode 1, 640 x 480 and a
// zoomed 320 x 240 in the compressed modes).
Geometry ForMode(int mode) {
    switch (mode) {
        case 0: return {0, 2, 10, 462, 250, 32, 64, 230, 240};
        case 1: return {1, 10, 22, 195, 118, 40, 64, 116, 96};
        case 3: return {3, 153, 88, 473, 252, 48, 64, 232, 160};
        default: return {mode, 2, 8, 482, 252, 32, 64, 232, 240};
    }
}

bool EndsWithTrailer(const std::vector<std::uint8_t>& stream, std::size_t end) {
    return end >= 4 && std::equal(simulator::kTrailer.begin(), simulator::kTrailer.end(), stream.begin() + static_cast<long>(end - 4));
}

class StreamTest : public CameraTest {
protected:
    std::vector<std::uint8_t> Read(std::size_t bytes) {
        std::vector<std::uint8_t> stream(bytes);
        EXPECT_TRUE(host().BulkRead(stream));
        return stream;
    }
};

TEST_F(StreamTest, EveryModeSendsFramesOfEndValuePlusOneBytesEndingInTheTrailer) {
    for (int mode = 0; mode <= 4; ++mode) {
        SCOPED_TRACE(mode);
        Make();
        const Geometry g = ForMode(mode);
        ReadyToStream(g);
        ASSERT_EQ(host().StartStream(0x18), 0);
        const std::size_t frameBytes = FrameBytes(g);
        const auto stream = Read(2 * frameBytes);
        EXPECT_TRUE(EndsWithTrailer(stream, frameBytes));
        EXPECT_TRUE(EndsWithTrailer(stream, 2 * frameBytes));

        const auto frames = probe().recentFrames();
        ASSERT_GE(frames.size(), 2u);
        EXPECT_EQ(frames[0].bytes, frameBytes);
        EXPECT_EQ(frames[0].imageWidth, g.frameWidth);
        EXPECT_EQ(frames[0].imageHeight, g.frameHeight);
        EXPECT_EQ(probe().bytesSent(), 2 * frameBytes);
        EXPECT_EQ(host().LeaveReverse(), 0);
        EXPECT_LE(host().drained, 64u);
    }
}

TEST_F(StreamTest, FramesStartOnTheFieldClockAndMoveAtTheEcpRate) {
    const Geometry g = ForMode(0);
    ReadyToStream(g);
    ASSERT_EQ(host().StartStream(0x18), 0);
    const std::size_t frameBytes = FrameBytes(g);
    const auto begin = host().clock().Now();
    Read(3 * frameBytes);
    const auto elapsed = host().clock().Now() - begin;

    const auto frames = probe().recentFrames();
    ASSERT_GE(frames.size(), 3u);
    for (const auto& f : frames) EXPECT_EQ(f.startTime.count() % 20000, 0) << f.startTime.count();
    // 110 404 bytes at 1 us each, then the next field boundary: one frame per 120 ms.
    EXPECT_EQ(frames[1].startTime - frames[0].startTime, 120ms);
    EXPECT_EQ(frames[2].sceneField - frames[1].sceneField, 6u);
    EXPECT_LT(elapsed, 3 * 120ms + 20ms);
    EXPECT_GT(elapsed, 3 * 110ms);
}

// Frame periods of the library's windows, for the record: the ECP byte time sets the pace and
// the field clock rounds it up to whole fields.
TEST_F(StreamTest, FramePeriodPerMode) {
    for (int mode = 0; mode <= 4; ++mode) {
        Make();
        const Geometry g = ForMode(mode);
        ReadyToStream(g);
        ASSERT_EQ(host().StartStream(0x18), 0);
        Read(3 * FrameBytes(g));
        const auto frames = probe().recentFrames();
        ASSERT_GE(frames.size(), 3u);
        const auto period = frames[2].startTime - frames[1].startTime;
        const auto fields = (FrameBytes(g) * 1000 + 19'999'999) / 20'000'000;  // bytes at 1 us, whole fields
        EXPECT_EQ(period, std::chrono::milliseconds(20 * fields));
        std::printf("mode %d, %dx%d, %zu bytes: one frame per %lld ms (%.2f frames/s)\n", mode,
                    g.frameWidth, g.frameHeight, FrameBytes(g), static_cast<long long>(period.count() / 1000),
                    1e6 / static_cast<double>(period.count()));
    }
}

TEST_F(StreamTest, StoppingMidFrameAbandonsItAndARestartBeginsAFreshFrame) {
    const Geometry g = ForMode(2);
    ReadyToStream(g);
    ASSERT_EQ(host().StartStream(0x18), 0);
    Read(5000);
    ASSERT_EQ(host().LeaveReverse(), 0);
    host().WriteControllerReg(0x01, 0x18);
    EXPECT_FALSE(probe().streaming());

    ASSERT_EQ(host().StartStream(0x18), 0);
    const auto stream = Read(FrameBytes(g));
    EXPECT_TRUE(EndsWithTrailer(stream, FrameBytes(g)));
    EXPECT_EQ(probe().recentFrames().size(), 2u);
}

TEST_F(StreamTest, StreamFaultsShiftOrSpoilTheFrames) {
    const Geometry g = ForMode(4);
    ReadyToStream(g);
    ASSERT_EQ(host().StartStream(0x18), 0);
    const std::size_t frameBytes = FrameBytes(g);

    probe().CorruptNextTrailer();
    auto stream = Read(2 * frameBytes);
    EXPECT_FALSE(EndsWithTrailer(stream, frameBytes));
    EXPECT_EQ(stream[frameBytes - 3], simulator::kTrailer[1] ^ 0x01);
    EXPECT_TRUE(EndsWithTrailer(stream, 2 * frameBytes));

    probe().DropStreamBytes(10);
    stream = Read(frameBytes);
    EXPECT_TRUE(EndsWithTrailer(stream, frameBytes - 10));

    probe().InsertStreamBytes(3, 0xEE);
    stream = Read(frameBytes);  // three strays, then the rest of the frame begun above
    EXPECT_EQ(stream[0], 0xEE);
    EXPECT_TRUE(EndsWithTrailer(stream, 3 + frameBytes - 10));
}

// A drop that empties a full FIFO: the peripheral, held back while the FIFO was full, goes on
// at the ECP rate from the drop on, and the host is told when to ask again.
TEST_F(StreamTest, DroppingTheBytesOfAFullFifoResumesTheStream) {
    const Geometry g = ForMode(4);
    ReadyToStream(g);
    ASSERT_EQ(host().StartStream(0x18), 0);
    const std::size_t frameBytes = FrameBytes(g);
    clock_.SleepFor(25ms);  // the first frame began at 20 ms and has filled the FIFO since
    ASSERT_EQ(probe().bridgeRegisters().extendedControl & 0x03, 0x02);

    probe().DropStreamBytes(100);  // the 64 waiting and 36 still to come
    const auto dropped = clock_.Now();
    auto stream = Read(64);
    EXPECT_GE(clock_.Now() - dropped, 63us);  // not a burst dated from before the drop
    auto rest = Read(frameBytes - 100 - 64);
    stream.insert(stream.end(), rest.begin(), rest.end());
    EXPECT_TRUE(EndsWithTrailer(stream, frameBytes - 100));
    EXPECT_EQ(probe().bytesSent(), frameBytes - 100);
}

// The bus asks for the next chance a little after the NotYet (on the wall clock time passes
// in between). A FIFO that has become ready meanwhile must say so, not "never".
TEST_F(StreamTest, ANextChanceAskedLateIsNowOnceThePacketFits) {
    ReadyToStream(ForMode(4));
    std::vector<std::uint8_t> packet(64, 0x55);
    host().EcpCommand(0xC0 | 0x1F);  // the data goes to a register that nothing reads
    host().EcpData(0x55);
    ASSERT_EQ(device().Out(kBulkOut, packet).reply, Reply::Ack);
    ASSERT_EQ(device().Out(kBulkOut, packet).reply, Reply::NotYet);
    clock_.SleepFor(1ms);  // the peripheral took the FIFO's bytes meanwhile
    auto next = device().NextChance(kBulkOut);
    ASSERT_TRUE(next.has_value());
    EXPECT_LE(*next, clock_.Now());
    EXPECT_EQ(device().Out(kBulkOut, packet).reply, Reply::Ack);

    ASSERT_EQ(host().StartStream(0x18), 0);
    ASSERT_EQ(device().In(kBulkIn, packet).reply, Reply::NotYet);  // the frame waits for its field
    clock_.SleepFor(30ms);  // it began and filled the FIFO
    next = device().NextChance(kBulkIn);
    ASSERT_TRUE(next.has_value());
    EXPECT_LE(*next, clock_.Now());
    EXPECT_EQ(device().In(kBulkIn, packet).reply, Reply::Ack);
}

TEST_F(StreamTest, ABridgeThatStopsAnsweringNeverCompletesARead) {
    const Geometry g = ForMode(3);
    ReadyToStream(g);
    ASSERT_EQ(host().StartStream(0x18), 0);
    probe().SetStopAnswering(true);
    std::vector<std::uint8_t> frame(FrameBytes(g));
    EXPECT_FALSE(host().BulkRead(frame, 2s));
    EXPECT_EQ(device().NextChance(kBulkIn), std::nullopt);
    EXPECT_EQ(probe().bytesSent(), 0u);
    probe().SetStopAnswering(false);
    EXPECT_TRUE(host().BulkRead(frame));
}

TEST_F(StreamTest, NonsenseRegistersStillGiveFramesOfTheAskedLength) {
    ReadyToStream(ForMode(2));
    // An inverted window, a zero scale factor, and an end value of 0: frames of the trailer
    // alone.
    for (auto [reg, value] : {std::pair{0x08, 0x00}, {0x09, 0x00}, {0x03, 0x80}, {0x10, 0x00},
                              {0x11, 0x00}, {0x12, 0x00}})
        host().WriteControllerReg(static_cast<std::uint8_t>(reg), static_cast<std::uint8_t>(value));
    ASSERT_EQ(host().StartStream(0x18), 0);
    auto stream = Read(8);
    EXPECT_TRUE(EndsWithTrailer(stream, 4));
    EXPECT_TRUE(EndsWithTrailer(stream, 8));
    ASSERT_EQ(host().LeaveReverse(), 0);

    // A window far past the field, cut to 100 bytes of pixels.
    for (auto [reg, value] : {std::pair{0x13, 0x40}, {0x08, 0xFF}, {0x09, 0xFF}, {0x03, 0x00},
                              {0x0A, 0x10}, {0x0B, 0x00}, {0x10, 103}})
        host().WriteControllerReg(static_cast<std::uint8_t>(reg), static_cast<std::uint8_t>(value));
    ASSERT_EQ(host().StartStream(0x18), 0);
    stream = Read(208);
    EXPECT_TRUE(EndsWithTrailer(stream, 104));
    EXPECT_TRUE(EndsWithTrailer(stream, 208));
    EXPECT_EQ(probe().recentFrames().back().bytes, 104u);
}

TEST_F(StreamTest, NothingFlowsWithoutStreamBitImageCommandAndReverseLink) {
    const Geometry g = ForMode(0);
    ReadyToStream(g);
    host().EcpCommand(0xA0);  // stream bit still off
    ASSERT_EQ(host().EnterReverse(), 0);
    std::uint8_t byte;
    EXPECT_FALSE(host().BulkRead(std::span(&byte, 1), 200ms));
    EXPECT_EQ(probe().framesStarted(), 0u);
}

}  // namespace
}  // namespace simtest
