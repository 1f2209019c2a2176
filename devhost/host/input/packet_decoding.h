// Decoding a source packet by packet, as the media and replay inputs both do:
// frames are taken out of the decoder before it is fed again, a packet the
// decoder refuses is passed over, and the end of the packets drains it.
#pragma once

#include <functional>

#include "libav.h"

namespace flumina::host {

class PacketDecoding {
public:
    // `feed` hands the decoder its next packet (see send()); false once there is none.
    explicit PacketDecoding(std::function<bool()> feed) : feed_(std::move(feed)) {}

    // The decoder's next frame in `frame`, fed as it needs; null once it is drained.
    AVFrame* next(AVCodecContext& decoder, AVFrame& frame);
    // Sends `packet` and lets go of it; false when the decoder refused it (said a few times in the log).
    bool send(AVCodecContext& decoder, AVPacket& packet);

private:
    std::function<bool()> feed_;
    bool flushing_ = false;
    int refused_ = 0;
};

}  // namespace flumina::host
