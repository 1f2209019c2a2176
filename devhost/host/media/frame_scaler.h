// Converts frames to one size and pixel format, writing straight into a caller's buffer.
#pragma once

#include <string>

#include "frame_format.h"
#include "libav.h"

namespace flumina::host {

class FrameScaler {
public:
    // `threads`: slices converted at once, 0 for one per core.
    FrameScaler(FrameSize target, AVPixelFormat targetFormat, int threads = 1)
        : target_(target), targetFormat_(targetFormat), threads_(threads) {}

    // Scales `source` into `destination`, a packed 3-byte-a-pixel target: rows of
    // target width, no padding between them. Both scale calls throw AvError when
    // the frame could not be converted.
    void scaleToPacked(const AVFrame& source, char* destination);
    // Scales a packed frame of `sourceSize` held at `source` in `sourceFormat` into `destination`.
    void scaleFromBuffer(const char* source, FrameSize sourceSize, AVPixelFormat sourceFormat, AVFrame& destination);

private:
    SwsContext* contextFor(FrameSize sourceSize, AVPixelFormat sourceFormat);
    // "cannot convert 1920 x 1080 yuv420p frames to 640 x 360 rgb24", for errors.
    std::string conversion(FrameSize sourceSize, AVPixelFormat sourceFormat) const;
    void checkScaled(int rows, FrameSize sourceSize, AVPixelFormat sourceFormat) const;

    FrameSize target_;
    AVPixelFormat targetFormat_;
    int threads_;
    SwsPtr context_;
    FrameSize sourceSize_;
    AVPixelFormat sourceFormat_ = AV_PIX_FMT_NONE;
};

}  // namespace flumina::host
