// Where pushed frames land on the output's grid, with a fake clock.
#include <gtest/gtest.h>

#include "frame_timeline.h"

namespace flumina::host {
namespace {

using namespace std::chrono_literals;
const FrameTimeline::Clock::time_point t0{123s};

TEST(FrameTimelineTest, APacedClientKeepsItsTimingFromZero) {
    FrameTimeline timeline(25);
    EXPECT_EQ(timeline.place(t0), 0);
    EXPECT_EQ(timeline.place(t0 + 41ms), 1);   // a little late: still its own point
    EXPECT_EQ(timeline.place(t0 + 78ms), 2);   // a little early, too
    EXPECT_EQ(timeline.place(t0 + 400ms), 10); // a pause leaves the points between empty
    EXPECT_DOUBLE_EQ(timeline.secondsAhead(), 0);
}

TEST(FrameTimelineTest, AFastClientKeepsEveryFrameOnTheNextFreePoint) {
    FrameTimeline timeline(25);
    for (int frame = 0; frame < 50; ++frame) EXPECT_EQ(timeline.place(t0 + frame * 1ms), frame);
    EXPECT_DOUBLE_EQ(timeline.secondsAhead(), (49 - 1) / 25.0);  // pushed within 49 ms, placed over 2 s
    // Once the client slows down, its frames go back to their push times.
    EXPECT_EQ(timeline.place(t0 + 3s), 75);
}

}  // namespace
}  // namespace flumina::host
