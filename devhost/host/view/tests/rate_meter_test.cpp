// Frame rates from readings of a count, with a fake clock.
#include <gtest/gtest.h>

#include "rate_meter.h"

namespace flumina::host {
namespace {

using namespace std::chrono_literals;
const RateMeter::Clock::time_point t0{50s};

TEST(RateMeterTest, RatesCoverTheLastWindowOnceTheReadingsReachThatFar) {
    RateMeter meter(2s);
    EXPECT_DOUBLE_EQ(meter.update(0, t0), 0);
    EXPECT_DOUBLE_EQ(meter.update(25, t0 + 1s), 25);  // since the first reading
    EXPECT_DOUBLE_EQ(meter.update(50, t0 + 2s), 25);
    EXPECT_DOUBLE_EQ(meter.update(60, t0 + 3s), 17.5);  // from t0 + 1s: 35 frames in 2 s
    EXPECT_DOUBLE_EQ(meter.update(60, t0 + 5s), 0);     // stopped: nothing over the last 2 s
}

TEST(RateMeterTest, RareReadingsAverageOverTheirWholeSpan) {
    RateMeter meter(2s);
    meter.update(0, t0);
    EXPECT_DOUBLE_EQ(meter.update(300, t0 + 10s), 30);
}

TEST(RateMeterTest, TheWindowSlidesUnderFrequentReadings) {
    RateMeter meter(2s);
    double rate = 0;
    for (int ms = 0; ms <= 10000; ++ms) rate = meter.update(ms * 25 / 1000, t0 + ms * 1ms);  // 25 fps, read every ms
    EXPECT_NEAR(rate, 25, 0.1);
    for (int ms = 10001; ms <= 12500; ++ms) rate = meter.update(250, t0 + ms * 1ms);       // then nothing
    EXPECT_DOUBLE_EQ(rate, 0);
}

}  // namespace
}  // namespace flumina::host
