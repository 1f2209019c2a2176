// A running session: per stream its channels, its decoding thread and its
// sampling thread with the outputs.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "client_frame_sampler.h"
#include "input_stream.h"
#include "options.h"
#include "session_config.h"
#include "shm_region.h"
#include "stream_stats.h"
#include "usb_devices.h"

namespace flumina::host {

class Session {
public:
    // Opens every input and output and sizes the channels; throws ConfigError naming
    // the stream index and reason when something cannot be opened. Nothing runs yet.
    Session(const SessionSpec& spec, const HostOptions& options, const UsbDevices& usb);
    // Stops (see stop()).
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Size of stream 0's decoded frames, as the reply reports it.
    FrameSize reportedSize() const;
    void start();
    // Stops every thread, finalises the outputs, logs each stream's counts. Idempotent.
    void stop(const std::string& reason);

    // "stream 0: in 25.0 fps, out 24.8 fps" for every stream, over the time since the last call.
    std::string progress();
    int useType() const { return useType_; }

private:
    struct Stream;
    void openStream(const StreamSpec& spec, const HostOptions& options, const UsbDevices& usb);

    int useType_;
    std::atomic<bool> stop_{false};
    bool started_ = false;
    bool stopped_ = false;
    std::vector<std::unique_ptr<Stream>> streams_;
    std::chrono::steady_clock::time_point lastProgress_;
};

}  // namespace flumina::host
