// What picture the bytes of a display or push channel frame hold. The
// channels carry only a byte count, so the size is inferred from the sizes
// the stream is known to use.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

extern "C" {
#include <libavutil/pixfmt.h>
}

#include "frame_format.h"

namespace flumina::host {

struct FrameLayout {
    FrameSize size;
    AVPixelFormat format = AV_PIX_FMT_NONE;
    bool operator==(const FrameLayout& o) const { return size == o.size && format == o.format; }
};

// The layout of a frame of `bytes` on a stream whose frames are expected at
// `sizes` (most likely first): 3 bytes a pixel in `rgbFormat` at one of them,
// else NV12 at one of them, else 3 bytes a pixel at another size of one of
// their aspect ratios or of 16:9 or 4:3. Nullopt when nothing fits.
std::optional<FrameLayout> inferLayout(std::size_t bytes, const std::vector<FrameSize>& sizes, AVPixelFormat rgbFormat);

// `size` scaled down to at most `maxWidth` wide, its aspect kept, both sides even.
FrameSize previewSize(FrameSize size, int maxWidth);

}  // namespace flumina::host
