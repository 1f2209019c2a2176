// What a running session lets the live view see. The pointers stay valid
// while the session is attached to the view's board (ViewBoard::attach until
// ViewBoard::detach); the taps may outlive the session.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "frame_tap.h"
#include "session_config.h"
#include "shm_region.h"
#include "stream_recorder.h"
#include "stream_stats.h"

namespace flumina::host {

struct ViewedStream {
    std::size_t index = 0;
    std::string input;                   // what the stream reads, as the log says it
    FrameSize frameSize;                 // the decoded frames the client reads
    std::vector<std::string> outputs;    // where pushed frames go: URL, then file
    std::optional<FrameSize> outSize;
    double outFrameRate = 0;
    std::vector<std::string> deviceProblems;  // paths the device's host could not reach
    const StreamStats* stats = nullptr;
    std::shared_ptr<const StreamRecorder> recorder;  // null when the stream is not recorded
    korvane::ipc::dev::ShmRegion* display = nullptr;  // holds the latest frame the client showed
    std::shared_ptr<FrameTap> decoded;   // every decoded frame; null without an input
    std::shared_ptr<FrameTap> pushed;    // every whole pushed frame; null without an output
};

struct ViewedSession {
    int useType = 0;
    std::vector<ViewedStream> streams;
};

}  // namespace flumina::host
