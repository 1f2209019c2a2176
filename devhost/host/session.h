// A running session: per stream its channels, the thread that decodes its
// input into the input channel, the threads that take what the client shows
// and pushes, and the thread that encodes the pushed frames to the outputs.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "options.h"
#include "session_config.h"
#include "usb_devices.h"
#include "viewed_session.h"

namespace flumina::host {

class Session {
public:
    // Opens every input and output and sizes the channels; throws ConfigError naming
    // the stream index and reason when something cannot be opened. Nothing runs yet,
    // but the client's pushes and shows are taken from now on.
    Session(const SessionSpec& spec, const HostOptions& options, const UsbDevices& usb);
    // Stops (see stop()).
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Size of stream 0's decoded frames, as the reply reports it.
    FrameSize reportedSize() const;
    // What the live view may look at; its pointers are valid until the session is destroyed.
    ViewedSession viewed() const;
    void start();
    // Stops every thread, finalises the outputs, ends every input channel with
    // the end-of-input frame and logs each stream's counts. Idempotent.
    void stop(const std::string& reason);

    // "stream 0: in 25.0 fps, out 24.8 fps (...)" for every stream, over the time since the last call.
    std::string progress();

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
