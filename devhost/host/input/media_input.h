// A file, URL or V4L2 device opened with libavformat and decoded with libavcodec.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "file_io.h"
#include "frame_rotator.h"
#include "frame_source.h"
#include "interrupter.h"
#include "libav.h"
#include "packet_decoding.h"
#include "stream_recorder.h"

namespace flumina::host {

struct InputTarget {
    std::string url;          // path, URL, or device node
    std::string formatName;   // demuxer to force ("v4l2"), empty to probe
    std::string codecHint;    // "h264" / "hevc": raw demuxer to try when probing fails
    std::string label;        // "file", "url", "camera" ... for messages
    std::string file = {};    // non-empty: the path `url` names, opened as a regular file and nothing else
    int threads = 1;          // decoder threads
    bool autorotate = true;   // turn pictures upright as the stream's display matrix asks
    double inputTimeout = 0;  // a live input with no packet for this many seconds has ended; 0: never
};

class MediaInput final : public FrameSource {
public:
    // Opens and probes the input; throws AvError or std::runtime_error saying what failed.
    // Blocking calls give up when `stop` is set, and opening after `openTimeout` seconds.
    MediaInput(const InputTarget& target, const std::atomic<bool>& stop, double openTimeout);

    FrameSize size() const override;
    bool recorded() const override { return recorded_; }
    AVFrame* next() override;
    double secondsOf(const AVFrame& frame) const override;
    std::string description() const override { return description_; }
    std::string endReason() const override { return endReason_; }
    // From the first read on, every packet of the video stream and the loss of the source go to `recorder` too.
    void recordTo(std::shared_ptr<StreamRecorder> recorder) { recorder_ = std::move(recorder); }

private:
    void open(const InputTarget& target, const std::string& formatName, double openTimeout);
    // Reads the next packet of the video stream into the decoder; false at end of input.
    bool feedDecoder();
    // Applies what the display matrix of the video stream asks, or says why not.
    void setUpright(const AVStream& stream, bool autorotate);

    const std::atomic<bool>& stop_;
    Interrupter interrupter_;
    std::unique_ptr<FileIo> file_;  // a plain file's reader, which format_ uses
    FormatInputPtr format_;
    CodecContextPtr decoder_;
    PacketPtr packet_;
    FramePtr frame_;
    int streamIndex_ = -1;
    AVRational timeBase_{1, 1};
    double frameRate_ = 0;
    bool recorded_ = false;
    PacketDecoding decoding_{[this] { return feedDecoder(); }};
    std::string description_;
    std::string endReason_ = kEndOfInput;
    std::unique_ptr<FrameRotator> rotator_;
    double inputTimeout_ = 0;
    std::shared_ptr<StreamRecorder> recorder_;
    bool recording_ = false;  // the recorder knows this connection
};

}  // namespace flumina::host
