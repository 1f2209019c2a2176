// How frames reach the live view from session threads: tapped and compressed.
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "frame_tap.h"
#include "jpeg_encoder.h"

namespace flumina::host {
namespace {

TEST(FrameTapTest, HandsOverOneFrameForEachRequestOnly) {
    FrameTap tap;
    TappedFrame taken;
    tap.offer(std::vector<char>(3, 'a'));
    EXPECT_FALSE(tap.take(taken));  // nobody asked

    tap.want();
    EXPECT_TRUE(tap.wanted());
    tap.offer(std::vector<char>(3, 'b'));
    tap.offer(std::vector<char>(3, 'c'));  // one frame per request
    EXPECT_FALSE(tap.wanted());
    ASSERT_TRUE(tap.take(taken));
    EXPECT_EQ(taken.bytes, std::vector<char>(3, 'b'));
    EXPECT_FALSE(tap.take(taken));

    FramePtr picture = allocateFrame();
    picture->format = AV_PIX_FMT_GRAY8;
    picture->width = picture->height = 2;
    ASSERT_EQ(av_frame_get_buffer(picture.get(), 0), 0);
    tap.want();
    tap.offer(*picture);
    ASSERT_TRUE(tap.take(taken));
    EXPECT_EQ(taken.picture->data[0], picture->data[0]);  // a reference, not a copy
    EXPECT_TRUE(taken.bytes.empty());

    tap.want();
    tap.cancel();
    tap.offer(std::vector<char>(3, 'd'));
    EXPECT_FALSE(tap.take(taken));
}

// Decodes `jpeg` to packed RGB.
FramePtr decodeJpeg(const std::string& jpeg) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
    CodecContextPtr decoder(avcodec_alloc_context3(codec));
    EXPECT_EQ(avcodec_open2(decoder.get(), codec, nullptr), 0);
    PacketPtr packet = allocatePacket();
    packet->data = reinterpret_cast<std::uint8_t*>(const_cast<char*>(jpeg.data()));
    packet->size = static_cast<int>(jpeg.size());
    EXPECT_EQ(avcodec_send_packet(decoder.get(), packet.get()), 0);
    FramePtr yuv = allocateFrame();
    EXPECT_EQ(avcodec_receive_frame(decoder.get(), yuv.get()), 0);
    FramePtr rgb = allocateFrame();
    rgb->format = AV_PIX_FMT_RGB24;
    rgb->width = yuv->width;
    rgb->height = yuv->height;
    EXPECT_EQ(av_frame_get_buffer(rgb.get(), 0), 0);
    // The decoder's full-range 4:2:0 ("J" format), read as the plain format of full range.
    SwsPtr scaler(sws_getContext(yuv->width, yuv->height, AV_PIX_FMT_YUV420P, rgb->width, rgb->height,
                                 AV_PIX_FMT_RGB24, SWS_POINT, nullptr, nullptr, nullptr));
    const int* coefficients = sws_getCoefficients(SWS_CS_DEFAULT);
    sws_setColorspaceDetails(scaler.get(), coefficients, 1, coefficients, 1, 0, 1 << 16, 1 << 16);
    sws_scale(scaler.get(), yuv->data, yuv->linesize, 0, yuv->height, rgb->data, rgb->linesize);
    return rgb;
}

TEST(JpegEncoderTest, KeepsTheColoursOfABgrFrameAndScalesItDown) {
    // Left half red, right half blue, in BGR byte order.
    constexpr FrameSize kSize{64, 32};
    std::vector<char> frame(kSize.rgbBytes());
    for (int y = 0; y < kSize.height; ++y)
        for (int x = 0; x < kSize.width; ++x) {
            char* pixel = &frame[(y * kSize.width + x) * 3];
            pixel[0] = x < kSize.width / 2 ? 0 : static_cast<char>(255);
            pixel[1] = 0;
            pixel[2] = x < kSize.width / 2 ? static_cast<char>(255) : 0;
        }
    JpegEncoder encoder;
    const std::string jpeg = encoder.encode(frame.data(), FrameLayout{kSize, AV_PIX_FMT_BGR24}, FrameSize{32, 16});
    const FramePtr decoded = decodeJpeg(jpeg);
    ASSERT_EQ(decoded->width, 32);
    ASSERT_EQ(decoded->height, 16);
    const std::uint8_t* row = decoded->data[0] + 8 * decoded->linesize[0];
    const std::uint8_t* left = row + 4 * 3;
    const std::uint8_t* right = row + 28 * 3;
    EXPECT_GT(left[0], 200);
    EXPECT_LT(left[2], 50);
    EXPECT_LT(right[0], 50);
    EXPECT_GT(right[2], 200);
}

}  // namespace
}  // namespace flumina::host
