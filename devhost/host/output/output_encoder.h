// One destination of a stream's pushed frames: an encoder and the muxer that
// saves its packets to a fragmented MP4 file or pushes them to a URL.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "file_io.h"
#include "interrupter.h"
#include "libav.h"
#include "frame_format.h"
#include "regular_files.h"
#include "session_config.h"
#include "stream_error.h"

namespace flumina::host {

struct OutputTarget {
    std::string destination;  // a path (saved as MP4) or a URL
    bool isUrl = false;
    FrameSize size;
    double frameRate = 25;
    VideoCodec codec = VideoCodec::H264;
    double timeout = 10;      // seconds an open, a write or the finish may block
    int threads = 1;          // encoder threads
    const std::atomic<bool>* cancel = nullptr;  // when set, opening gives up
};

class OutputEncoder {
public:
    // Opens the encoder, and a URL destination, whose header it writes; checks that
    // a file destination may be written (see regular_files.h), which is created or
    // replaced only by the first frame. Throws saying what failed.
    // Its errors go to `errors`, its stream's.
    OutputEncoder(const OutputTarget& target, StreamError& errors);
    // Finishes if finish() was not called; never throws.
    ~OutputEncoder();
    OutputEncoder(const OutputEncoder&) = delete;
    OutputEncoder& operator=(const OutputEncoder&) = delete;

    // Encodes a yuv420p frame of the target size; `frame->pts` counts in 1/frame rate.
    // A destination that fails is logged once and left alone from then on.
    void encode(AVFrame* frame);
    // Drains the encoder and finalises the destination (an MP4 gets its index).
    // A file the host created that got no frame is removed rather than left unplayable.
    void finish();

    const std::string& destination() const { return target_.destination; }
    bool isUrl() const { return target_.isUrl; }
    std::uint64_t framesWritten() const { return packets_; }
    bool failed() const { return failed_; }
    // Whether finish() left no file because no frame reached it.
    bool removed() const { return removed_; }

private:
    // Opens the file destination and writes the header, for the first frame.
    void startFile();
    void writeHeader();
    void drain();
    void fail(const std::string& what);

    OutputTarget target_;
    StreamError& errors_;
    Interrupter interrupter_;
    OutputFile file_;                 // a file destination, once the first frame came
    std::unique_ptr<FileIo> writer_;  // its writer, which muxer_ uses
    FormatOutputPtr muxer_;
    CodecContextPtr encoder_;
    PacketPtr packet_;
    AVStream* stream_ = nullptr;
    bool headerWritten_ = false;
    bool finished_ = false;
    bool failed_ = false;
    bool removed_ = false;
    std::uint64_t packets_ = 0;
};

}  // namespace flumina::host
