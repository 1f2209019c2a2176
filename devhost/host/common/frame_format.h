// The shape of the frames the host moves: their size, the order of a pixel's
// three bytes in every channel, and the codec pushed frames are encoded with.
#pragma once

#include <cstddef>

namespace flumina::host {

enum class PixelOrder { Rgb, Bgr };
enum class VideoCodec { H264, Hevc };

// "h264" or "hevc", as the log and the view name the codec.
inline const char* codecName(VideoCodec codec) { return codec == VideoCodec::H264 ? "h264" : "hevc"; }

struct FrameSize {
    int width = 0;
    int height = 0;
    std::size_t rgbBytes() const { return static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3; }
    std::size_t nv12Bytes() const { return static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3 / 2; }
    bool operator==(const FrameSize& o) const { return width == o.width && height == o.height; }
};

}  // namespace flumina::host
