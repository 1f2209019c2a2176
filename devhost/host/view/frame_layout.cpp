#include "frame_layout.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace flumina::host {
namespace {

constexpr FrameSize kCommonAspects[] = {{16, 9}, {4, 3}};

// The size of `pixels` pixels at the aspect ratio of `shape`, if there is one in whole pixels.
std::optional<FrameSize> sizeAtAspect(std::size_t pixels, FrameSize shape) {
    if (shape.width <= 0 || shape.height <= 0) return std::nullopt;
    const long divisor = std::gcd(shape.width, shape.height);
    const std::size_t p = shape.width / divisor, q = shape.height / divisor;
    if (pixels % (p * q) != 0) return std::nullopt;
    const std::size_t squares = pixels / (p * q);
    const auto k = static_cast<std::size_t>(std::llround(std::sqrt(static_cast<double>(squares))));
    if (k == 0 || k * k != squares) return std::nullopt;
    return FrameSize{static_cast<int>(p * k), static_cast<int>(q * k)};
}

}  // namespace

std::optional<FrameLayout> inferLayout(std::size_t bytes, const std::vector<FrameSize>& sizes, AVPixelFormat rgbFormat) {
    if (bytes == 0) return std::nullopt;
    for (const FrameSize& size : sizes)
        if (size.rgbBytes() == bytes) return FrameLayout{size, rgbFormat};
    for (const FrameSize& size : sizes)
        if (size.nv12Bytes() == bytes && size.width % 2 == 0 && size.height % 2 == 0)
            return FrameLayout{size, AV_PIX_FMT_NV12};
    if (bytes % 3 != 0) return std::nullopt;
    std::vector<FrameSize> aspects(sizes);
    aspects.insert(aspects.end(), std::begin(kCommonAspects), std::end(kCommonAspects));
    for (const FrameSize& aspect : aspects)
        if (const std::optional<FrameSize> size = sizeAtAspect(bytes / 3, aspect)) return FrameLayout{*size, rgbFormat};
    return std::nullopt;
}

FrameSize previewSize(FrameSize size, int maxWidth) {
    FrameSize preview = size;
    if (size.width > maxWidth) {
        preview.width = maxWidth;
        preview.height = static_cast<int>(std::lround(static_cast<double>(size.height) * maxWidth / size.width));
    }
    preview.width = std::max(2, preview.width & ~1);
    preview.height = std::max(2, preview.height & ~1);
    return preview;
}

}  // namespace flumina::host
