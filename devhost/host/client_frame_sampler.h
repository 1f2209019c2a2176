// The sampling thread of one stream: at the stream's output frame rate it
// takes a new frame from the push channel to encode, and looks at the display
// channel, whose latest frame it keeps. Neither channel carries a signal, so a
// frame is new when its bytes differ from the last one taken.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "frame_scaler.h"
#include "output_encoder.h"
#include "shm_region.h"
#include "stream_stats.h"

namespace flumina::host {

struct SamplerSettings {
    std::size_t index = 0;
    double frameRate = 25;
    std::optional<FrameSize> outSize;  // what pushed frames must be, when the stream has outputs
    AVPixelFormat pixelFormat = AV_PIX_FMT_RGB24;
};

class ClientFrameSampler {
public:
    ClientFrameSampler(SamplerSettings settings, std::vector<std::unique_ptr<OutputEncoder>> outputs,
                       korvane::ipc::dev::ShmRegion& push, korvane::ipc::dev::ShmRegion& display, StreamStats& stats);
    ~ClientFrameSampler();
    ClientFrameSampler(const ClientFrameSampler&) = delete;
    ClientFrameSampler& operator=(const ClientFrameSampler&) = delete;

    void start();
    // Ends the thread, then finalises every output and logs what each holds.
    void stop();

private:
    void run();
    // Encodes a new pushed frame as the frame of `period` (counted in output frames).
    void samplePush(std::int64_t period);
    void sampleDisplay();
    // Copies a frame out of a channel once it has stopped changing; false if it did not.
    bool takeSettledCopy(const char* payload, std::size_t bytes, std::vector<char>& copy, std::uint64_t& fingerprint);
    // Payload of `bytes` at `offset`, or nullptr (logged once) when the size word points past the channel.
    const char* payloadOrNull(korvane::ipc::dev::ShmRegion& channel, std::size_t bytes, std::size_t offset,
                              bool& warned, const char* kind);

    SamplerSettings settings_;
    std::vector<std::unique_ptr<OutputEncoder>> outputs_;
    korvane::ipc::dev::ShmRegion& push_;
    korvane::ipc::dev::ShmRegion& display_;
    StreamStats& stats_;
    std::optional<FrameScaler> toEncoder_;
    FramePtr encoderFrame_;
    std::uint64_t lastPush_ = 0;
    std::int64_t lastEncodedPeriod_ = -1;
    std::uint64_t lastShown_ = 0;
    std::vector<char> pushed_;
    std::vector<char> latestShown_;
    bool warnedPushSize_ = false;
    bool warnedPushRange_ = false;
    bool warnedDisplayRange_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    bool stopped_ = false;
};

}  // namespace flumina::host
