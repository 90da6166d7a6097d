// Frames rendered ahead on the worker: the frame asked for is always the one served, however
// the guess about it went.
#include <gtest/gtest.h>

#include <atomic>
#include <semaphore>
#include <thread>

#include "frame_encoder.h"
#include "frame_renderer.h"

namespace simtest {
namespace {

using simulator::FrameJob;

TEST(FrameRenderer, ServesTheFrameAskedForWhateverWasPrepared) {
    const simulator::Scene scene(std::nullopt);  // the animated pattern: every field differs
    simulator::FrameRenderer renderer(scene);
    FrameJob job;
    job.format = simulator::FrameFormat::Compressed4;
    job.window = simulator::Window{20, 150, 128, 48, 64, 64};  // crosses the moving disc's path
    job.sceneField = 3;
    job.frameBytes = 3000;
    job.secondLayerOffset = 1600;
    job.trailer = simulator::kTrailer;
    FrameJob later = job;
    later.sceneField = 4;
    auto direct = [&](const FrameJob& j) {
        return simulator::AssembleFrame(j.format, scene.Sample(j.window, j.sceneField, j.adjustments),
                                        j.frameBytes, j.secondLayerOffset, j.trailer);
    };
    const auto expected = direct(job), expectedLater = direct(later);
    ASSERT_NE(expected, expectedLater);

    renderer.Prepare(std::span(&job, 1));
    EXPECT_EQ(renderer.Render(job), expected);
    EXPECT_EQ(renderer.Render(job), expected);  // asked again without preparing
    renderer.Prepare(std::span(&later, 1));
    EXPECT_EQ(renderer.Render(job), expected);  // a wrong guess is not served ...
    EXPECT_EQ(renderer.Render(later), expectedLater);  // ... but kept for its own frame
    renderer.Prepare(std::span(&job, 1));
    renderer.Prepare(std::span(&later, 1));  // replaced while under way
    EXPECT_EQ(renderer.Render(later), expectedLater);
    renderer.Prepare(std::span(&job, 1));  // under way when the renderer goes: it waits for the worker
}

FrameJob Field(std::uint64_t field) {
    FrameJob job;
    job.sceneField = field;
    return job;
}
std::vector<std::uint8_t> BytesOf(std::uint64_t field) { return {static_cast<std::uint8_t>(field)}; }

// Stands in for the scene and encoder: a job's bytes are its field number. Each of the worker's
// renders waits for a leave from the test, so that the test knows what is under way; renders
// on the test's own thread go straight through and are counted.
struct Pacer {
    std::vector<std::uint8_t> Render(const FrameJob& job) {
        if (std::this_thread::get_id() == caller) {
            ++onCaller;
        } else {
            ++started;
            started.notify_all();
            leaves.acquire();
        }
        return BytesOf(job.sceneField);
    }
    void AwaitStarted(int count) {
        for (int now = started; now < count; now = started) started.wait(now);
    }
    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<int> started{0}, onCaller{0};
    std::counting_semaphore<> leaves{0};
};

struct PacedRenderer {
    // Nothing holds the worker once the test is over, whatever it asserted.
    ~PacedRenderer() { pacer.leaves.release(100); }
    void Prepare(std::initializer_list<FrameJob> jobs) { renderer.Prepare(std::span(jobs.begin(), jobs.size())); }

    Pacer pacer;
    simulator::FrameRenderer renderer{[this](const FrameJob& job) { return pacer.Render(job); }};
};

TEST(FrameRenderer, KeepsWhatTheWorkerRenderedWhenTheGuessMovesOn) {
    PacedRenderer paced;
    paced.Prepare({Field(3)});
    paced.pacer.AwaitStarted(1);
    paced.Prepare({Field(4)});  // while field 3 is under way
    paced.pacer.leaves.release();
    paced.pacer.AwaitStarted(2);  // field 3 is done, field 4 under way
    paced.Prepare({Field(5)});
    paced.pacer.leaves.release();
    // A frame that ended sooner than last foreseen is served from the worker all the same.
    EXPECT_EQ(paced.renderer.Render(Field(3)), BytesOf(3));
    EXPECT_EQ(paced.renderer.Render(Field(4)), BytesOf(4));
    paced.pacer.leaves.release();
    EXPECT_EQ(paced.renderer.Render(Field(5)), BytesOf(5));
    EXPECT_EQ(paced.pacer.onCaller, 0);
}

TEST(FrameRenderer, WaitsForAJobUnderWayAndTakesOverOneQueuedBehindAnother) {
    PacedRenderer paced;
    paced.Prepare({Field(7), Field(8)});
    paced.pacer.AwaitStarted(1);  // field 7 under way, field 8 queued behind it
    // The frame slipped to field 8: rendered here at once, not after field 7.
    EXPECT_EQ(paced.renderer.Render(Field(8)), BytesOf(8));
    EXPECT_EQ(paced.pacer.onCaller, 1);
    paced.pacer.leaves.release();
    EXPECT_EQ(paced.renderer.Render(Field(7)), BytesOf(7));
    EXPECT_EQ(paced.pacer.onCaller, 1);  // waited for the worker
    // Nor does the worker render field 8 again: the next job it takes is field 9.
    paced.Prepare({Field(9)});
    paced.pacer.leaves.release(100);
    paced.pacer.AwaitStarted(2);
    EXPECT_EQ(paced.renderer.Render(Field(9)), BytesOf(9));
    EXPECT_EQ(paced.pacer.started, 2);
    EXPECT_EQ(paced.pacer.onCaller, 1);
}

}  // namespace
}  // namespace simtest
