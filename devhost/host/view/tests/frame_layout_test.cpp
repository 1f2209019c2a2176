// Which picture a channel frame's byte count stands for.
#include <gtest/gtest.h>

#include "frame_layout.h"

namespace flumina::host {
namespace {

constexpr FrameSize kDecoded{1280, 720}, kOut{640, 480};

std::optional<FrameLayout> layoutOf(std::size_t bytes) {
    return inferLayout(bytes, {kDecoded, kOut}, AV_PIX_FMT_BGR24);
}

TEST(FrameLayoutTest, KnownSizesComeFirstInThreeBytesAPixelThenNv12) {
    EXPECT_EQ(layoutOf(1280 * 720 * 3), (FrameLayout{kDecoded, AV_PIX_FMT_BGR24}));
    EXPECT_EQ(layoutOf(640 * 480 * 3), (FrameLayout{kOut, AV_PIX_FMT_BGR24}));
    EXPECT_EQ(layoutOf(640 * 480 * 3 / 2), (FrameLayout{kOut, AV_PIX_FMT_NV12}));
    // 1280 x 720 NV12 has the bytes of 640 x 720 in three bytes a pixel: the known size wins.
    EXPECT_EQ(layoutOf(1280 * 720 * 3 / 2), (FrameLayout{kDecoded, AV_PIX_FMT_NV12}));
}

TEST(FrameLayoutTest, OtherSizesAreFoundAtAKnownOrCommonAspectRatio) {
    EXPECT_EQ(layoutOf(320 * 180 * 3), (FrameLayout{{320, 180}, AV_PIX_FMT_BGR24}));   // the stream's 16:9
    EXPECT_EQ(layoutOf(320 * 240 * 3), (FrameLayout{{320, 240}, AV_PIX_FMT_BGR24}));   // the output's 4:3
    EXPECT_EQ(inferLayout(400 * 300 * 3, {{500, 500}}, AV_PIX_FMT_RGB24),
              (FrameLayout{{400, 300}, AV_PIX_FMT_RGB24}));                             // 4:3 when nothing else fits
    EXPECT_FALSE(layoutOf(0));
    EXPECT_FALSE(layoutOf(1280 * 720 * 3 + 1));
    EXPECT_FALSE(layoutOf(7 * 3));  // no whole size at any of those ratios
}

TEST(FrameLayoutTest, PreviewsAreAtMostTheWidthAskedForAndEven) {
    EXPECT_EQ(previewSize({1920, 1080}, 960), (FrameSize{960, 540}));
    EXPECT_EQ(previewSize({3840, 2160}, 960), (FrameSize{960, 540}));
    EXPECT_EQ(previewSize({640, 480}, 960), (FrameSize{640, 480}));
    EXPECT_EQ(previewSize({1001, 333}, 960), (FrameSize{960, 318}));
    EXPECT_EQ(previewSize({1, 1}, 960), (FrameSize{2, 2}));
}

}  // namespace
}  // namespace flumina::host
