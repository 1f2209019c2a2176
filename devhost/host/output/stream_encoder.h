// The encoder thread of one stream: encodes the frames the client pushed, in
// push order and at the points of their time line, to every output of the
// stream.
#pragma once

#include <memory>
#include <thread>
#include <vector>

#include "frame_scaler.h"
#include "output_encoder.h"
#include "pushed_frame_queue.h"
#include "stream_stats.h"

namespace flumina::host {

class StreamEncoder {
public:
    // Frames in flight between the push channel and the encoder; a few smooth
    // out an encoder that is slow now and then, more would only delay the end.
    static constexpr std::size_t kQueuedFrames = 8;

    StreamEncoder(std::size_t index, FrameSize outSize, std::vector<std::unique_ptr<OutputEncoder>> outputs,
                  StreamStats& stats);
    // Finishes (see finish()).
    ~StreamEncoder();
    StreamEncoder(const StreamEncoder&) = delete;
    StreamEncoder& operator=(const StreamEncoder&) = delete;

    PushedFrameQueue& queue() { return queue_; }
    // Whether an output pushes to a URL, whose receiver expects real time.
    bool live() const;
    void start();
    // Encodes what is still queued, then finalises every output and logs what each holds. Idempotent.
    void finish();

private:
    void run();
    void encode(const PushedFrame& frame);

    std::size_t index_;
    FrameSize outSize_;
    std::vector<std::unique_ptr<OutputEncoder>> outputs_;
    StreamStats& stats_;
    PushedFrameQueue queue_{kQueuedFrames};
    FrameScaler toEncoder_;
    FramePtr encoderFrame_;
    std::thread thread_;
    bool finished_ = false;
};

}  // namespace flumina::host
