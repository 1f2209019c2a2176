// Turns frames into JPEG pictures for the live view, scaled to a given size,
// with libavcodec's MJPEG encoder on the calling thread.
#pragma once

#include <string>

#include "frame_layout.h"
#include "libav.h"

namespace flumina::host {

class JpegEncoder {
public:
    JpegEncoder();

    // `picture`, in any format libswscale reads, scaled to `size`.
    std::string encode(const AVFrame& picture, FrameSize size);
    // A packed frame of `layout` at `bytes`, scaled to `size`.
    std::string encode(const char* bytes, const FrameLayout& layout, FrameSize size);

private:
    // Scales planes of a source of `sourceSize` into the encoder's picture and compresses it.
    std::string compress(const std::uint8_t* const planes[], const int strides[], FrameSize sourceSize,
                         AVPixelFormat sourceFormat, bool fullRange, FrameSize size);
    void openEncoder(FrameSize size);

    CodecContextPtr codec_;
    FramePtr picture_;
    PacketPtr packet_;
    SwsPtr scaler_;
    FrameSize scalerFrom_, scalerTo_;
    AVPixelFormat scalerFormat_ = AV_PIX_FMT_NONE;
    bool scalerFullRange_ = false;
};

}  // namespace flumina::host
