// Between the decoding of a live input and its input channel: decoded frames
// wait here, as references to the decoder's pictures (no RGB copy), and leave
// at the stream's own pace, so that a source that sends in bursts reaches the
// client smoothly.
//
// A frame is due at its time stamp plus the play-out delay: the latest that
// any frame of the last kPlayoutWindow arrived, measured against the stream's
// clock. A smooth source thus waits only for its own jitter, a bursty one for
// its longest gap. Frames decoded faster than the stream's pace before the
// first one that comes at that pace (what probing read, a server's backlog)
// are due at once and set no delay. The decoding side never waits; when the
// buffer is full it drops its oldest frame.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

#include "libav.h"
#include "host_limits.h"

namespace flumina::host {

// How long a late frame keeps the delay up.
inline constexpr double kPlayoutWindow = 10;

struct PlayoutLimits {
    double seconds = kPlayoutSeconds;
    std::size_t bytes = kPlayoutBytes;
};

class PlayoutBuffer {
public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;

    explicit PlayoutBuffer(PlayoutLimits limits = {}, Now now = Clock::now);

    // Decoding side: keeps a new reference to `frame`, due `seconds` into the
    // stream (negative: unknown, due at once). Returns how many older frames
    // were dropped to make room.
    std::size_t push(const AVFrame& frame, double seconds);
    // The source was opened anew: its time stamps start a new clock.
    void restartClock();
    // No frame follows; the frames held still leave.
    void finish();

    // Delivery side: the oldest frame if it is due, else null.
    FramePtr takeDue();
    // Waits for the oldest frame to be due and takes it; null once `stop` is
    // set, or finish() was called and every frame has left.
    FramePtr waitForDue(const std::atomic<bool>& stop);
    // Makes a wait look at its `stop` again.
    void wake();

    // Frames held now, and the most bytes held at once so far.
    std::size_t frames() const;
    std::size_t peakBytes() const;
    // The play-out delay now, in seconds.
    double delay() const;

private:
    struct Held {
        FramePtr frame;
        double seconds;   // stream time, negative when unknown
        double due;       // seconds since epoch_
        std::size_t bytes;
    };
    struct Lateness {
        double arrival;   // seconds since epoch_
        double offset;    // arrival minus stream time
    };

    double nowSeconds() const;
    // Whether the oldest frame must go to make room.
    bool fullLocked() const;
    FramePtr popLocked();

    PlayoutLimits limits_;
    Now now_;
    Clock::time_point epoch_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Held> held_;
    std::size_t bytes_ = 0, peakBytes_ = 0;
    // Offsets of the last kPlayoutWindow, each smaller than the one before: the front is the largest.
    std::deque<Lateness> late_;
    bool settled_ = false;   // a frame has come at the stream's pace since the clock (re)started
    bool haveLast_ = false;
    double lastSeconds_ = 0, lastArrival_ = 0;
    bool finished_ = false;
};

}  // namespace flumina::host
