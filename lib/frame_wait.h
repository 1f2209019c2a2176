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
inline constexpr std::int64_t kFineStepNs = 50'000;
inline constexpr std::int64_t kMaxGuardNs = 3'000'000;
inline constexpr std::int64_t kMaxLearnedIntervalNs = 2'000'000'000;
inline constexpr int kGapsToTrust = 3;
inline constexpr std::int64_t kMaxBeatsBridged = 8;
inline constexpr std::int64_t kBeatsToMeasure = 4;

// Forgets when the frames come (a frame came unseen) but keeps their rate.
inline void forgetPhase(FrameWait& w) {
    w.beat = 0;
    w.steadyGaps = 0;
}

// Locks on to the beat of the frames seen. The rate is measured over all the
// beats seen since it was learned, so one observation's error shrinks with
// each beat; the phase moves halfway towards each observation. A few frames
// dropped on the way (whole beats) keep what was learned; a frame far off
// the beat, or a gap too long to count beats in, starts the learning again.
inline void learnArrival(FrameWait& w, std::int64_t seen) {
    if (w.beat == 0) {
        w.beat = w.anchor = seen;
        w.beatsSinceAnchor = 0;
        return;
    }
    const std::int64_t gap = seen - w.beat;
    if (w.interval > 0 && gap > w.interval / 2 && gap < kMaxLearnedIntervalNs) {
        const std::int64_t beats = (gap + w.interval / 2) / w.interval;
        const std::int64_t error = gap - beats * w.interval;
        if (beats <= kMaxBeatsBridged && error <= w.interval / 8 && error >= -w.interval / 8) {
            w.beat += beats * w.interval + error / 2;
            w.beatsSinceAnchor += beats;
            if (w.beatsSinceAnchor >= kBeatsToMeasure) w.interval = (seen - w.anchor) / w.beatsSinceAnchor;
            ++w.steadyGaps;
            return;
        }
    }
    w.interval = gap > 0 && gap < kMaxLearnedIntervalNs ? gap : 0;
    w.anchor = w.interval > 0 ? w.beat : seen;
    w.beatsSinceAnchor = w.interval > 0 ? 1 : 0;
    w.beat = seen;
    w.steadyGaps = 0;
}

// Calls `ready()` until it returns true; updates what `w` has learned.
template <class Ready>
void waitForFrame(FrameWait& w, Ready&& ready) {
    if (ready()) {
        forgetPhase(w);  // it was already waiting: when it came is unknown
        return;
    }
    std::int64_t now = nowNs();
    const std::int64_t spinEnd = now + kSpinNs;
    bool seen = false;
    while (!seen && now < spinEnd) {
        seen = ready();
        now = nowNs();
    }
    std::int64_t backoff = kFirstBackoffNs;
    if (!seen && w.steadyGaps >= kGapsToTrust && w.interval > 0) {
        const std::int64_t guard = std::min(kMaxGuardNs, w.interval / 4);
        // The first beat after the last one seen that is not yet long past.
        std::int64_t due = w.beat + w.interval;
        if (now > due + w.interval / 4) due += ((now - due) / w.interval + 1) * w.interval;
        if (due - guard > now) {
            sleepUntilNs(due - guard);
            seen = ready();
            now = nowNs();
            if (seen) {
                // It came while we slept, so when is unknown. If we woke in
                // time it came early: the phase is wrong, learn it again. If
                // the sleep overran (a busy machine), keep the beat.
                if (now < due - guard / 2) forgetPhase(w);
                return;
            }
        }
        // Poll finely around the due time, and for a while after it: a late
        // frame is the common way to miss the beat.
        while (!seen && now < due + w.interval / 4) {
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
    learnArrival(w, now);
}

}  // namespace flumina::detail
