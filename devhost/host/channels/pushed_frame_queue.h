// Frames taken from a push channel on their way to the encoder thread, with
// the buffers they travel in kept for reuse.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace flumina::host {

struct PushedFrame {
    std::vector<char> bytes;
    AVPixelFormat format = AV_PIX_FMT_NONE;  // the stream's 3-byte order, or NV12
    std::int64_t pts = 0;                    // on the output's frame grid
};

class PushedFrameQueue {
public:
    explicit PushedFrameQueue(std::size_t capacity) : capacity_(capacity) {}

    // Queues `frame`. When the queue is full, waits for room if `waitForRoom`
    // (until close()), else refuses. False: not queued, and the buffer stays in `frame`.
    bool put(PushedFrame& frame, bool waitForRoom);
    // The oldest frame, once there is one; nullopt once closed and drained.
    std::optional<PushedFrame> take();
    // A buffer to copy the next frame into: one already encoded, when there is one.
    std::vector<char> spare();
    void recycle(std::vector<char>&& buffer);
    // No frame is queued from now on; take() hands out what is left, then nullopt.
    void close();

private:
    std::size_t capacity_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<PushedFrame> frames_;
    std::vector<std::vector<char>> spares_;
    bool closed_ = false;
};

}  // namespace flumina::host
