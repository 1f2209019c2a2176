// What the scaler makes of frames it can and cannot convert.
#include <gtest/gtest.h>

#include <vector>

#include "frame_scaler.h"

namespace flumina::host {
namespace {

constexpr FrameSize kSize{64, 48};

FramePtr grayFrame(AVPixelFormat format) {
    FramePtr frame = allocateFrame();
    frame->format = format;
    frame->width = kSize.width;
    frame->height = kSize.height;
    avCheck(av_frame_get_buffer(frame.get(), 0), "cannot allocate a test frame");
    for (int plane = 0; plane < 3; ++plane)
        std::fill_n(frame->data[plane], frame->linesize[plane] * (plane == 0 ? kSize.height : kSize.height / 2), 128);
    return frame;
}

TEST(FrameScalerTest, ConvertsAFrameIntoAPackedBuffer) {
    FrameScaler scaler(kSize, AV_PIX_FMT_RGB24);
    std::vector<char> packed(kSize.rgbBytes(), 0);
    scaler.scaleToPacked(*grayFrame(AV_PIX_FMT_YUV420P), packed.data());
    EXPECT_NEAR(static_cast<unsigned char>(packed[packed.size() / 2]), 128, 2);
}

TEST(FrameScalerTest, AConversionThatFailsThrowsInsteadOfPassingForDone) {
    FrameScaler scaler(kSize, AV_PIX_FMT_RGB24);
    std::vector<char> packed(kSize.rgbBytes());
    FramePtr empty = allocateFrame();  // a frame with a size and format but no pictures
    empty->format = AV_PIX_FMT_YUV420P;
    empty->width = kSize.width;
    empty->height = kSize.height;
    EXPECT_THROW(scaler.scaleToPacked(*empty, packed.data()), AvError);

    FramePtr target = grayFrame(AV_PIX_FMT_YUV420P);
    FrameScaler toEncoder(kSize, AV_PIX_FMT_YUV420P);
    EXPECT_THROW(toEncoder.scaleFromBuffer(nullptr, kSize, AV_PIX_FMT_RGB24, *target), AvError);
}

}  // namespace
}  // namespace flumina::host
