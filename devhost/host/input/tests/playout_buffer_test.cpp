// When the play-out buffer lets a live input's frames go, with a fake clock.
#include <gtest/gtest.h>

#include <vector>

#include "playout_buffer.h"

namespace flumina::host {
namespace {

using namespace std::chrono_literals;

class PlayoutBufferTest : public testing::Test {
protected:
    PlayoutBuffer::Clock::time_point now{5s};
    PlayoutBuffer::Now clock = [this] { return now; };

    // A small picture that carries `number` as its pts.
    static FramePtr frame(int number) {
        FramePtr picture = allocateFrame();
        picture->format = AV_PIX_FMT_GRAY8;
        picture->width = picture->height = 16;
        avCheck(av_frame_get_buffer(picture.get(), 0), "test frame");
        picture->pts = number;
        return picture;
    }
    void at(double seconds) {
        now = PlayoutBuffer::Clock::time_point{5s} +
              std::chrono::duration_cast<PlayoutBuffer::Clock::duration>(std::chrono::duration<double>(seconds));
    }
    // The numbers of the frames due now, in order.
    static std::vector<int> takeAll(PlayoutBuffer& buffer) {
        std::vector<int> taken;
        while (FramePtr due = buffer.takeDue()) taken.push_back(static_cast<int>(due->pts));
        return taken;
    }
};

TEST_F(PlayoutBufferTest, ASmoothSourceLeavesAsItArrives) {
    PlayoutBuffer buffer({}, clock);
    for (int n = 0; n < 50; ++n) {
        at(n * 0.04 + (n % 3) * 0.001);  // a millisecond or two of jitter
        EXPECT_EQ(buffer.push(*frame(n), n * 0.04), 0u);
        const std::vector<int> taken = takeAll(buffer);
        // The jitter alone may hold a frame back, by two milliseconds at most.
        if (taken.empty()) {
            at(n * 0.04 + 0.003);
            EXPECT_EQ(takeAll(buffer), std::vector<int>{n});
        } else {
            EXPECT_EQ(taken, std::vector<int>{n});
        }
    }
    EXPECT_LE(buffer.delay(), 0.0021);
}

TEST_F(PlayoutBufferTest, BurstsLeaveAtTheStreamsPaceAfterTheStartUpBacklog) {
    PlayoutBuffer buffer({}, clock);
    // 25 fps sent four frames at a time, each burst when its last frame is ready.
    auto burst = [&](int first) {
        at(first * 0.04 + 0.12);
        for (int n = first; n < first + 4; ++n) buffer.push(*frame(n), n * 0.04);
    };
    burst(0);  // the first frames at once set no delay: they are what the start held back
    EXPECT_EQ(takeAll(buffer), (std::vector<int>{0, 1, 2, 3}));
    burst(4);
    EXPECT_EQ(takeAll(buffer), std::vector<int>{4});
    for (int n = 5; n < 8; ++n) {
        at(n * 0.04 + 0.1195);
        EXPECT_TRUE(takeAll(buffer).empty()) << "frame " << n << " early";
        at(n * 0.04 + 0.1205);
        EXPECT_EQ(takeAll(buffer), std::vector<int>{n});
    }
    EXPECT_NEAR(buffer.delay(), 0.12, 1e-6);  // as seen by the last frame of the burst
    EXPECT_EQ(buffer.frames(), 0u);
}

TEST_F(PlayoutBufferTest, AClientThatFallsBehindGetsTheNewestFramesAndTheOldestAreDropped) {
    PlayoutBuffer buffer({1.0, kPlayoutBytes}, clock);
    std::size_t dropped = 0;
    for (int n = 0; n < 40; ++n) {
        at(n / 32.0);
        dropped += buffer.push(*frame(n), n / 32.0);
    }
    EXPECT_EQ(dropped, 7u);  // a second of stream time is 33 frames
    const std::vector<int> taken = takeAll(buffer);
    ASSERT_EQ(taken.size(), 33u);
    EXPECT_EQ(taken.front(), 7);
    EXPECT_EQ(taken.back(), 39);

    // The memory bound holds whatever the time stamps.
    std::size_t frameBytes = 0;
    const FramePtr sample = frame(0);
    for (const AVBufferRef* plane : sample->buf)
        if (plane != nullptr) frameBytes += plane->size;
    PlayoutBuffer small({kPlayoutSeconds, frameBytes * 3}, clock);
    for (int n = 0; n < 5; ++n) small.push(*frame(n), -1);
    EXPECT_EQ(takeAll(small), (std::vector<int>{2, 3, 4}));
    EXPECT_EQ(small.peakBytes(), frameBytes * 3);
}

TEST_F(PlayoutBufferTest, ASourceThatStartsAgainStartsANewClock) {
    PlayoutBuffer buffer({}, clock);
    // Settled with a quarter of a second of delay: frame 2 came that late, and frame 4 waits 60 ms.
    const double arrivals[] = {0, 0.04, 0.33, 0.34, 0.35};
    for (int n = 0; n < 5; ++n) {
        at(arrivals[n]);
        buffer.push(*frame(n), 10 + n * 0.04);
    }
    EXPECT_NEAR(buffer.delay(), 0.06, 1e-6);
    at(0.40);
    // Time stamps from 0 again: the source restarted, and no old delay holds its frames.
    buffer.push(*frame(100), 0);
    at(0.44);
    buffer.push(*frame(101), 0.04);
    EXPECT_EQ(takeAll(buffer), (std::vector<int>{0, 1, 2, 3, 4, 100, 101}));

    // So does a source reopened by the host, whatever its time stamps.
    buffer.restartClock();
    at(0.5);
    buffer.push(*frame(200), 0.08);
    EXPECT_EQ(takeAll(buffer), std::vector<int>{200});
}

TEST_F(PlayoutBufferTest, AWaitEndsWithTheLastFrameAfterFinishOrAtOnceOnStop) {
    PlayoutBuffer buffer({}, clock);
    buffer.push(*frame(1), 0);
    buffer.push(*frame(2), -1);
    buffer.finish();
    const std::atomic<bool> running{false}, stopped{true};
    EXPECT_EQ(buffer.waitForDue(stopped), nullptr);
    EXPECT_EQ(buffer.waitForDue(running)->pts, 1);
    EXPECT_EQ(buffer.waitForDue(running)->pts, 2);
    EXPECT_EQ(buffer.waitForDue(running), nullptr);
}

}  // namespace
}  // namespace flumina::host
