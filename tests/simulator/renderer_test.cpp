// Frames rendered ahead on the worker: the frame asked for is always the one served, however
// the guess about it went.
#include <gtest/gtest.h>

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

    renderer.Prepare(job);
    EXPECT_EQ(renderer.Render(job), expected);
    EXPECT_EQ(renderer.Render(job), expected);  // asked again without preparing
    renderer.Prepare(later);
    EXPECT_EQ(renderer.Render(job), expected);  // a wrong guess is not served ...
    EXPECT_EQ(renderer.Render(later), expectedLater);  // ... but kept for its own frame
    renderer.Prepare(job);
    renderer.Prepare(later);  // replaced while under way
    EXPECT_EQ(renderer.Render(later), expectedLater);
    renderer.Prepare(job);  // under way when the renderer goes: it waits for the worker
}

}  // namespace
}  // namespace simtest
