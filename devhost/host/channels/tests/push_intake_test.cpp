// What happens to a pushed frame on its way to the encoder queue.
#include <gtest/gtest.h>

#include <thread>

#include "push_intake.h"

namespace flumina::host {
namespace {

using namespace std::chrono_literals;
const PushIntake::Clock::time_point t0{7s};
constexpr FrameSize kSize{4, 2};

TakenFrame takenOf(std::size_t bytes) { return TakenFrame{bytes, bytes, 0}; }

PushIntakeSettings settings(bool live) {
    PushIntakeSettings s;
    s.outSize = kSize;
    s.frameRate = 25;
    s.live = live;
    return s;
}

TEST(PushIntakeTest, QueuesRgbAndNv12FramesOnTheTimelineAndSkipsOtherSizes) {
    PushedFrameQueue queue(8);
    StreamStats stats;
    PushIntake intake(settings(false), queue, stats);
    std::vector<char> rgb(kSize.rgbBytes(), 'r'), nv12(kSize.nv12Bytes(), 'n'), odd(5, 'o');
    intake.accept(rgb, takenOf(rgb.size()), t0);
    intake.accept(nv12, takenOf(nv12.size()), t0 + 40ms);
    intake.accept(odd, takenOf(odd.size()), t0 + 80ms);
    queue.close();
    const PushedFrame first = *queue.take(), second = *queue.take();
    EXPECT_EQ(first.format, AV_PIX_FMT_RGB24);
    EXPECT_EQ(first.bytes, std::vector<char>(kSize.rgbBytes(), 'r'));
    EXPECT_EQ(first.pts, 0);
    EXPECT_EQ(second.format, AV_PIX_FMT_NV12);
    EXPECT_EQ(second.pts, 1);
    EXPECT_FALSE(queue.take());
    EXPECT_EQ(stats.pushed.load(), 3u);
    EXPECT_EQ(stats.skipped.load(), 1u);
}

TEST(PushIntakeTest, ALiveStreamDropsWhatABusyEncoderHasNoRoomForAndASavingOneWaits) {
    for (const bool live : {true, false}) {
        PushedFrameQueue queue(2);
        StreamStats stats;
        PushIntake intake(settings(live), queue, stats);
        std::thread encoder;
        if (!live) {
            encoder = std::thread([&] {
                std::this_thread::sleep_for(50ms);
                for (int i = 0; i < 3; ++i) queue.take();
            });
        }
        for (int frame = 0; frame < 3; ++frame) {
            std::vector<char> bytes(kSize.rgbBytes(), static_cast<char>(frame));
            intake.accept(bytes, takenOf(bytes.size()), t0 + frame * 40ms);
        }
        if (encoder.joinable()) encoder.join();
        EXPECT_EQ(stats.overflowed.load(), live ? 1u : 0u) << (live ? "live" : "saving");
    }
}

}  // namespace
}  // namespace flumina::host
