// What a stream's encoder thread does with the frames queued for it.
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "stream_encoder.h"

namespace flumina::host {
namespace {

using namespace std::chrono_literals;

constexpr FrameSize kSize{64, 48};

TEST(StreamEncoderTest, PushesNeverWaitForAnEncoderThatHasStopped) {
    StreamStats stats;
    StreamEncoder encoder(0, kSize, {}, stats);
    encoder.start();
    PushedFrame unreadable{std::vector<char>(kSize.rgbBytes()), AV_PIX_FMT_NONE, 0};  // stops the encoder thread
    ASSERT_TRUE(encoder.queue().put(unreadable, true));
    // A stream that only saves waits for room in the queue; once nobody takes frames there is none.
    auto pushes = std::async(std::launch::async, [&] {
        for (std::size_t i = 0; i <= StreamEncoder::kQueuedFrames; ++i) {
            PushedFrame frame{std::vector<char>(kSize.rgbBytes()), AV_PIX_FMT_RGB24, static_cast<std::int64_t>(i + 1)};
            encoder.queue().put(frame, true);
        }
    });
    EXPECT_EQ(pushes.wait_for(3s), std::future_status::ready);
    encoder.finish();  // lets the pushes end when they did wait
    EXPECT_EQ(stats.encoded.load(), 0u);
}

}  // namespace
}  // namespace flumina::host
