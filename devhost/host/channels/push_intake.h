// What the host does with each frame a client completes in a push channel:
// checks its size against the output's, places it on the output's time line
// and queues it for the encoder thread. When the encoder is behind, a stream
// that pushes to a URL drops the frame (the receiver expects real time) and
// a stream that only saves waits for room (a file can wait; the client's next
// push then waits for the host, so nothing is lost).
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <vector>

#include "channel_reader.h"
#include "frame_timeline.h"
#include "pushed_frame_queue.h"
#include "frame_format.h"
#include "stream_stats.h"

namespace flumina::host {

struct PushIntakeSettings {
    std::size_t index = 0;
    FrameSize outSize;
    AVPixelFormat rgbFormat = AV_PIX_FMT_RGB24;  // the stream's 3-byte pixel order
    double frameRate = 25;
    bool live = false;                           // the stream pushes to a URL
};

class PushIntake {
public:
    using Clock = FrameTimeline::Clock;

    PushIntake(PushIntakeSettings settings, PushedFrameQueue& queue, StreamStats& stats);

    // `frame` (as taken) was completed at `at`. A queued frame's buffer is
    // replaced by a spare one; any other stays for the next copy.
    void accept(std::vector<char>& frame, const TakenFrame& taken, Clock::time_point at);

private:
    std::optional<AVPixelFormat> formatOf(std::size_t bytes) const;
    double perSecond(std::uint64_t frames, Clock::time_point at) const;

    PushIntakeSettings settings_;
    PushedFrameQueue& queue_;
    StreamStats& stats_;
    FrameTimeline timeline_;
    std::optional<Clock::time_point> firstPush_;
    bool warnedSize_ = false, warnedMissed_ = false, warnedBusy_ = false, warnedFast_ = false;
};

}  // namespace flumina::host
