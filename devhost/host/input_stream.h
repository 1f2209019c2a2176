// The decoding thread of one stream: frames from its source, paced when the
// source is recorded, scaled straight into the input channel.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "frame_scaler.h"
#include "frame_source.h"
#include "frame_tap.h"
#include "input_channel_writer.h"
#include "stream_stats.h"

namespace flumina::host {

struct InputStreamSettings {
    std::size_t index = 0;
    FrameSize frameSize;            // what the client reads
    AVPixelFormat pixelFormat = AV_PIX_FMT_RGB24;
    bool pacing = true;             // recorded sources play at their own rate
    bool loop = false;              // recorded sources start again at their end
    int threads = 1;                // scaling threads
    FrameTap* tap = nullptr;        // offered every frame delivered, as decoded
};

class InputStream {
public:
    // Opens the source again for --loop; throws what opening throws.
    using Reopen = std::function<std::unique_ptr<FrameSource>()>;

    InputStream(InputStreamSettings settings, std::unique_ptr<FrameSource> source, Reopen reopen,
                korvane::ipc::dev::ShmRegion& channel, StreamStats& stats, const std::atomic<bool>& stop);
    ~InputStream();
    InputStream(const InputStream&) = delete;
    InputStream& operator=(const InputStream&) = delete;

    void start();
    // Makes a wait for the client look at `stop` again.
    void wake();
    // Waits for the thread, which ends once `stop` is set or the input has ended;
    // either way the channel gets the end-of-input frame.
    void join();

private:
    void run();
    // Plays the source to its end; false when stopped first.
    bool play();
    // Writes the end-of-input frame once the client has taken the last one.
    void endInput();
    // Sleeps until `frame` is due; `clientHeldChannel`: the client has only just taken the previous frame.
    void waitUntilDue(const AVFrame& frame, bool clientHeldChannel);

    InputStreamSettings settings_;
    std::unique_ptr<FrameSource> source_;
    Reopen reopen_;
    InputChannelWriter channel_;
    FrameScaler scaler_;
    StreamStats& stats_;
    const std::atomic<bool>& stop_;
    std::thread thread_;
    // Pacing: steady-clock time at which the source's second 0 is due.
    std::chrono::steady_clock::time_point origin_;
    bool originSet_ = false;
    double firstSeconds_ = 0;
    bool firstTaken_ = false;
};

}  // namespace flumina::host
