// How getRGB waits for a ready flag without burning a core.
//
// A busy poll takes a whole core; a fixed short sleep still costs a wake-up
// every few tens of microseconds. Frames of a stream arrive at a steady rate,
// so the wait learns the interval between arrivals per stream index and
// sleeps in one go until shortly before the next frame is due, then polls
// finely around the due time. Until the rate is known, or when a frame comes
// off the beat, it falls back to a short spin and a backoff that grows to 1 ms,
// which bounds the latency it adds.
#pragma once

#include <time.h>

#include <algorithm>
#include <cstdint>

#include "flumina.h"

namespace flumina::detail {

inline std::int64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

inline void sleepUntilNs(std::int64_t deadline) {
    timespec ts{static_cast<time_t>(deadline / 1'000'000'000), static_cast<long>(deadline % 1'000'000'000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) != 0) {
    }
}

inline constexpr std::int64_t kSpinNs = 5'000;
inline constexpr std::int64_t kFirstBackoffNs = 20'000;
inline constexpr std::int64_t kMaxBackoffNs = 1'000'000;
inline constexpr std::int64_t kFineStepNs = 100'000;
inline constexpr std::int64_t kMaxGuardNs = 1'500'000;
inline constexpr int kGapsToTrust = 2;

// Whether `gap` is two or more beats of `interval`, within an eighth of a beat.
inline bool wholeBeats(std::int64_t gap, std::int64_t interval) {
    const std::int64_t beats = (gap + interval / 2) / interval;
    const std::int64_t off = gap - beats * interval;
    return beats >= 2 && off <= interval / 8 && off >= -interval / 8;
}

// Records a frame seen at `arrival` and refines the learned interval.
inline void learnArrival(FrameWait& w, std::int64_t arrival) {
    if (w.lastArrival != 0) {
        const std::int64_t gap = arrival - w.lastArrival;
        const bool onBeat = w.interval != 0 && gap * 2 <= w.interval * 3 && gap * 2 >= w.interval;
        if (onBeat) {
            w.interval += (gap - w.interval) / 8;
            ++w.steadyGaps;
        } else if (w.interval == 0 || !wholeBeats(gap, w.interval)) {
            // A pause or a new rate: learn again. A whole number of beats is
            // frames dropped on the way and keeps what was learned.
            w.interval = gap;
            w.steadyGaps = 0;
        }
    }
    w.lastArrival = arrival;
}

// Calls `ready()` until it returns true; updates what `w` has learned.
template <class Ready>
void waitForFrame(FrameWait& w, Ready&& ready) {
    if (ready()) {
        w.lastArrival = 0;  // it was already waiting: when it came is unknown
        return;
    }
    std::int64_t now = nowNs();
    const std::int64_t spinEnd = now + kSpinNs;
    bool seen = false;
    while (!seen && now < spinEnd) {
        seen = ready();
        now = nowNs();
    }
    bool timed = true;  // whether `now` tells when the frame came, give or take a step
    std::int64_t backoff = kFirstBackoffNs;
    if (!seen && w.steadyGaps >= kGapsToTrust && w.lastArrival != 0 && w.interval > 0) {
        const std::int64_t guard = std::min(kMaxGuardNs, w.interval / 4);
        std::int64_t due = w.lastArrival + ((now - w.lastArrival) / w.interval + 1) * w.interval;
        if (due - w.interval + guard > now) due -= w.interval;  // just past a due time: a late frame
        if (due - guard > now) {
            sleepUntilNs(due - guard);
            seen = ready();
            timed = !seen;  // came during the long sleep: early, and off the beat
            now = nowNs();
        }
        while (!seen && now < due + guard) {
            sleepUntilNs(now + kFineStepNs);
            seen = ready();
            now = nowNs();
        }
        backoff = kFineStepNs;
    }
    while (!seen) {
        sleepUntilNs(now + backoff);
        backoff = std::min(backoff * 2, kMaxBackoffNs);
        seen = ready();
        now = nowNs();
    }
    if (timed) {
        learnArrival(w, now);
    } else {
        w.lastArrival = 0;
        w.steadyGaps = 0;
    }
}

}  // namespace flumina::detail
