// Frames per second of a growing count, over about the last few seconds,
// from readings taken whenever someone asks (no timer runs).
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>

namespace flumina::host {

class RateMeter {
public:
    using Clock = std::chrono::steady_clock;

    // `window`: how far back the rate looks, once the readings reach that far.
    explicit RateMeter(Clock::duration window = std::chrono::seconds(2)) : window_(window) {}

    // Adds the reading `count` at `at` (times never go back); returns the
    // rate from the latest reading at least `window` before `at` (or the
    // first) to this one, 0 when they are the same moment.
    double update(std::uint64_t count, Clock::time_point at);

private:
    struct Reading {
        Clock::time_point at;
        std::uint64_t count;
    };
    Clock::duration window_;
    std::deque<Reading> readings_;
};

}  // namespace flumina::host
