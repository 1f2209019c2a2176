// Decoding a source packet by packet, as the media and replay inputs both do:
// frames are taken out of the decoder before it is fed again, a packet the
// decoder refuses is passed over, and the end of the packets drains it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "libav.h"

namespace flumina::host {

// A decoder for `parameters` of a stream in `timeBase`, opened with `threads`;
// `adjust` may change the context before it opens. Frame threads raise
// throughput but hold frames back: live inputs want each frame at once.
// Throws, naming `source`, when there is no decoder or no frame size.
CodecContextPtr openDecoder(const AVCodecParameters& parameters, AVRational timeBase, int threads, bool frameThreads,
                            const std::string& source, const std::function<void(AVCodecContext&)>& adjust = {});

// Seconds of `frame` from `start` (time stamps in `timeBase`); without a time
// stamp, those of the `frames`-th frame at `rate`; none when `rate` is 0 too.
std::optional<double> frameSeconds(const AVFrame& frame, std::int64_t start, AVRational timeBase, double rate,
                                   long frames);

class PacketDecoding {
public:
    // `feed` hands the decoder its next packet (see send()); false once there is none.
    explicit PacketDecoding(std::function<bool()> feed) : feed_(std::move(feed)) {}

    // The decoder's next frame in `frame`, fed as it needs; null once it is drained.
    AVFrame* next(AVCodecContext& decoder, AVFrame& frame);
    // Sends `packet` and lets go of it; false when the decoder refused it (said a few times in the log).
    bool send(AVCodecContext& decoder, AVPacket& packet);
    // Frames next() has returned.
    long frames() const { return frames_; }

private:
    std::function<bool()> feed_;
    bool flushing_ = false;
    int refused_ = 0;
    long frames_ = 0;
};

}  // namespace flumina::host
