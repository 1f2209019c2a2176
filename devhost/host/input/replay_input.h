// One connection of a replayed recording (replay://PATH): a live source whose
// packets reach the decoder at their recorded arrival times (scaled by
// --replay-speed), so that the play-out buffer, drops and reconnecting see
// the bursts, gaps and losses the recorded source had. The connection ends
// where the recorded one was lost, at the time it was lost, and why; opening
// the next connection (as reconnecting does) waits for the time the recorded
// one came back. The end of the recording ends the stream.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "frame_source.h"
#include "libav.h"
#include "packet_decoding.h"
#include "recording_reader.h"

namespace flumina::host {

class ReplayInput final : public FrameSource {
public:
    // The recording's next connection, once it is due; throws std::runtime_error
    // when it is not due within `openTimeout` seconds. After the last one, a
    // source that is over for good (endsForGood()), once the recording ended.
    // A gap of more than `inputTimeout` seconds (0: none) between packets loses it.
    ReplayInput(std::shared_ptr<RecordingReader> recording, double openTimeout, double inputTimeout, int threads);

    FrameSize size() const override { return decoder_ ? FrameSize{decoder_->width, decoder_->height} : FrameSize{}; }
    bool recorded() const override { return false; }
    AVFrame* next() override;
    double secondsOf(const AVFrame& frame) const override;
    std::string description() const override { return description_; }
    std::string endReason() const override { return endReason_; }
    bool endsForGood() const override { return endsForGood_; }

private:
    // Opening again: waits until the recording's second `seconds`, or throws
    // when that is more than `openTimeout` seconds away, saying `what` comes then.
    void waitToOpen(double seconds, double openTimeout, const std::string& what);
    // Hands the decoder the next packet when it is due; false once the connection has ended.
    bool feedDecoder();
    // The connection ends for `reason` at `at` on the replay clock; false when stopped first.
    bool endAt(RecordingReader::Clock::time_point at, const std::string& reason);

    std::shared_ptr<RecordingReader> recording_;
    SegmentRecord segment_;
    CodecContextPtr decoder_;
    FramePtr frame_;
    double inputTimeout_;
    std::optional<LossRecord> loss_;  // after the packet last sent
    std::optional<RecordingReader::Clock::time_point> lastDue_;
    PacketDecoding decoding_{[this] { return feedDecoder(); }};
    bool endsForGood_ = false;
    std::string description_;
    std::string endReason_ = kEndOfInput;
};

}  // namespace flumina::host
