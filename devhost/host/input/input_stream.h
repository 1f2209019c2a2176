// The threads of one stream's input. A recorded source is decoded, paced and
// scaled straight into the input channel, each frame waiting for the client.
// A live source is decoded into a play-out buffer by one thread, which never
// waits for the client, and a second takes each frame when it is due and the
// channel is free; a live network source that ends or fails is opened again.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "frame_scaler.h"
#include "frame_source.h"
#include "frame_tap.h"
#include "input_channel_writer.h"
#include "playout_buffer.h"
#include "stream_stats.h"

namespace flumina::host {

struct InputStreamSettings {
    std::size_t index = 0;
    FrameSize frameSize;            // what the client reads
    AVPixelFormat pixelFormat = AV_PIX_FMT_RGB24;
    bool pacing = true;             // recorded sources play at their own rate
    bool loop = false;              // recorded sources start again at their end
    double reconnect = 0;           // seconds a lost live source is opened again for; 0: never
    double openTimeout = 10;        // seconds one opening may take
    int threads = 1;                // scaling threads
    FrameTap* tap = nullptr;        // offered every frame delivered, as decoded
    std::function<void()> liveInputOver;  // called once a live input has ended for good, unless stopped first
};

class InputStream {
public:
    // Opens the source again (--loop, reconnecting) within `openTimeout`
    // seconds; throws what opening throws.
    using Reopen = std::function<std::unique_ptr<FrameSource>(double openTimeout)>;

    InputStream(InputStreamSettings settings, std::unique_ptr<FrameSource> source, Reopen reopen,
                korvane::ipc::dev::ShmRegion& channel, StreamStats& stats, const std::atomic<bool>& stop);
    ~InputStream();
    InputStream(const InputStream&) = delete;
    InputStream& operator=(const InputStream&) = delete;

    void start();
    // Makes a wait for the client look at `stop` again.
    void wake();
    // Waits for the threads, which end once `stop` is set or the input has ended;
    // either way the channel gets the end-of-input frame.
    void join();
    // Where a live source's frames wait (unused for a recorded one).
    const PlayoutBuffer& buffer() const { return buffer_; }

private:
    // Recorded: plays the source (again with --loop), then ends the input.
    void runRecorded();
    // Plays the source to its end; false when stopped first.
    bool play();
    // Live: decodes into the buffer, opening the source again while it may.
    void decodeLive();
    // Live: moves due frames from the buffer to the channel, then ends the input.
    void deliverLive();
    // Whether the live threads are to end: the stream stops, or delivery ended.
    bool over() const;
    // Opens a lost source again with back-off for up to settings_.reconnect
    // seconds; false when that fails, or the stream stops.
    bool reconnect(const std::string& why);
    // Scales `frame` into the free channel and hands it to the client.
    void deliver(const AVFrame& frame);
    // "stream 0: end of input after ...", or the reason it ended instead.
    void logEnd(const std::string& reason, bool again);
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
    std::thread thread_, deliverer_;
    PlayoutBuffer buffer_;
    std::atomic<bool> deliveryOver_{false};
    std::string name_;  // "stream 0", for the log
    // Pacing: steady-clock time at which the source's second 0 is due.
    std::chrono::steady_clock::time_point origin_;
    bool originSet_ = false;
    double firstSeconds_ = 0;
    bool firstTaken_ = false;
};

}  // namespace flumina::host
