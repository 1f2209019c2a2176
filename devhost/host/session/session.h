// A session: per stream its channels, the thread that decodes its input into
// the input channel, the threads that take what the client shows and pushes,
// and the thread that encodes the pushed frames to the outputs.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "input_stream.h"
#include "media_input.h"
#include "host_options.h"
#include "session_config.h"
#include "session_recording.h"
#include "usb_devices.h"
#include "viewed_session.h"

namespace flumina::host {

class Session {
public:
    Session(const HostOptions& options, const UsbDevices& usb);
    // Stops (see stop()).
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Opens every stream's input and push destinations and checks its save
    // destinations, several streams at once, each within --open-timeout; throws
    // ConfigError naming the stream index and reason. Touches no channel.
    void open(const SessionSpec& spec);
    // Makes open() give up at once (from any thread); the session is of no use after it.
    void interrupt();
    // Sizes, reserves and resets every stream's channels and gets its threads
    // ready; throws ConfigError when the channels do not fit. Nothing runs yet,
    // but the client's pushes and shows are taken from now on.
    void attachChannels();
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
    void openStream(Stream& stream);
    // Opens `target` as this session's options say; with --record, a live input is recorded into `stream`'s recording.
    InputStream::Reopen mediaInput(InputTarget target, Stream& stream);
    // Replays the recording that `url` (replay://PATH) names.
    InputStream::Reopen replayInput(const std::string& url);
    void attachStream(Stream& stream);

    const HostOptions& options_;
    const UsbDevices& usb_;
    int useType_ = 0;
    nlohmann::json configuration_;
    std::unique_ptr<SessionRecording> recording_;  // with --record
    int codecThreads_ = 1;
    std::atomic<bool> stop_{false};
    bool started_ = false;
    bool stopped_ = false;
    std::vector<std::unique_ptr<Stream>> streams_;
    std::chrono::steady_clock::time_point lastProgress_;
};

}  // namespace flumina::host
