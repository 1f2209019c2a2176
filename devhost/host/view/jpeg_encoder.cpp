#include "jpeg_encoder.h"

extern "C" {
#include <libavutil/imgutils.h>
}

#include "log.h"

namespace flumina::host {
namespace {

// JPEG quantiser scale: 2 is near lossless, 31 blocky; 5 keeps text and edges readable.
constexpr int kQuality = 5;

// The full-range ("J") formats are deprecated in libswscale: the same layout with a range flag.
AVPixelFormat withoutRange(AVPixelFormat format, bool& fullRange) {
    switch (format) {
        case AV_PIX_FMT_YUVJ420P: fullRange = true; return AV_PIX_FMT_YUV420P;
        case AV_PIX_FMT_YUVJ422P: fullRange = true; return AV_PIX_FMT_YUV422P;
        case AV_PIX_FMT_YUVJ444P: fullRange = true; return AV_PIX_FMT_YUV444P;
        case AV_PIX_FMT_YUVJ440P: fullRange = true; return AV_PIX_FMT_YUV440P;
        default: return format;
    }
}

}  // namespace

JpegEncoder::JpegEncoder() : picture_(allocateFrame()), packet_(allocatePacket()) {}

void JpegEncoder::openEncoder(FrameSize size) {
    if (codec_ && codec_->width == size.width && codec_->height == size.height) return;
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    if (codec == nullptr) throw std::runtime_error("this FFmpeg has no MJPEG encoder");
    CodecContextPtr context(avcodec_alloc_context3(codec));
    if (!context) throw std::bad_alloc();
    context->width = size.width;
    context->height = size.height;
    // Full-range 4:2:0, as JPEG has it, without the deprecated "J" format.
    context->pix_fmt = AV_PIX_FMT_YUV420P;
    context->color_range = AVCOL_RANGE_JPEG;
    context->time_base = AVRational{1, 15};
    context->flags |= AV_CODEC_FLAG_QSCALE;
    context->global_quality = FF_QP2LAMBDA * kQuality;
    context->thread_count = 1;
    avCheck(avcodec_open2(context.get(), codec, nullptr),
            logLine("cannot open a JPEG encoder for ", size.width, " x ", size.height));
    av_frame_unref(picture_.get());
    picture_->format = AV_PIX_FMT_YUV420P;
    picture_->width = size.width;
    picture_->height = size.height;
    picture_->color_range = AVCOL_RANGE_JPEG;
    avCheck(av_frame_get_buffer(picture_.get(), 0), "cannot allocate a JPEG picture");
    codec_ = std::move(context);
}

std::string JpegEncoder::encode(const AVFrame& picture, FrameSize size) {
    bool fullRange = picture.color_range == AVCOL_RANGE_JPEG;
    const AVPixelFormat format = withoutRange(static_cast<AVPixelFormat>(picture.format), fullRange);
    return compress(picture.data, picture.linesize, FrameSize{picture.width, picture.height}, format, fullRange, size);
}

std::string JpegEncoder::encode(const char* bytes, const FrameLayout& layout, FrameSize size) {
    std::uint8_t* planes[4] = {};
    int strides[4] = {};
    avCheck(av_image_fill_arrays(planes, strides, reinterpret_cast<const std::uint8_t*>(bytes), layout.format,
                                 layout.size.width, layout.size.height, 1),
            "cannot lay out a frame for the view");
    return compress(planes, strides, layout.size, layout.format, false, size);
}

std::string JpegEncoder::compress(const std::uint8_t* const planes[], const int strides[], FrameSize sourceSize,
                                  AVPixelFormat sourceFormat, bool fullRange, FrameSize size) {
    openEncoder(size);
    if (!scaler_ || !(scalerFrom_ == sourceSize) || !(scalerTo_ == size) || scalerFormat_ != sourceFormat ||
        scalerFullRange_ != fullRange) {
        // The fast bilinear filter: a preview loses little to it, and it costs
        // about half the exact one, which the view's CPU budget needs at 1080p.
        scaler_.reset(sws_getContext(sourceSize.width, sourceSize.height, sourceFormat, size.width, size.height,
                                     AV_PIX_FMT_YUV420P, SWS_FAST_BILINEAR, nullptr, nullptr, nullptr));
        if (!scaler_) throw std::runtime_error(logLine("cannot scale ", sourceSize.width, " x ", sourceSize.height,
                                                       " frames for the view"));
        const int* coefficients = sws_getCoefficients(SWS_CS_DEFAULT);
        sws_setColorspaceDetails(scaler_.get(), coefficients, fullRange ? 1 : 0, coefficients, 1, 0, 1 << 16, 1 << 16);
        scalerFrom_ = sourceSize;
        scalerTo_ = size;
        scalerFormat_ = sourceFormat;
        scalerFullRange_ = fullRange;
    }
    avCheck(av_frame_make_writable(picture_.get()), "cannot reuse the JPEG picture");
    sws_scale(scaler_.get(), planes, strides, 0, sourceSize.height, picture_->data, picture_->linesize);
    picture_->quality = codec_->global_quality;
    avCheck(avcodec_send_frame(codec_.get(), picture_.get()), "cannot encode a JPEG picture");
    avCheck(avcodec_receive_packet(codec_.get(), packet_.get()), "cannot encode a JPEG picture");
    std::string jpeg(reinterpret_cast<const char*>(packet_->data), static_cast<std::size_t>(packet_->size));
    av_packet_unref(packet_.get());
    return jpeg;
}

}  // namespace flumina::host
