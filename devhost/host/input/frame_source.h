// Where the decoded frames of a stream come from: a media input or a test pattern.
#pragma once

#include <string>

extern "C" {
#include <libavutil/frame.h>
}

#include "frame_format.h"

namespace flumina::host {

class FrameSource {
public:
    // The end reason of an input that simply ended.
    static constexpr const char* kEndOfInput = "end of input";

    virtual ~FrameSource() = default;

    // Size of the frames as they come, before scaling.
    virtual FrameSize size() const = 0;
    // A recorded input waits for its client; a live one drops what the client has no room for.
    virtual bool recorded() const = 0;
    // The next frame, valid until the next call; nullptr at the end of the input.
    virtual AVFrame* next() = 0;
    // When `frame` is due, in seconds from the start of the input; negative when unknown.
    virtual double secondsOf(const AVFrame& frame) const = 0;
    // What was opened, for the log ("file /home/u/clip.mp4: h264 320 x 240, 25 fps").
    virtual std::string description() const = 0;
    // Why next() returned nullptr: kEndOfInput, "no packet for 10 s", "read error: ...".
    virtual std::string endReason() const { return kEndOfInput; }
    // Whether that end is final for a live source: nothing could be opened again (a replay's last
    // connection); a source opened again may be over so before it begins.
    virtual bool endsForGood() const { return false; }
};

}  // namespace flumina::host
