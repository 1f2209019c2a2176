#include "frame_scaler.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include "log.h"

namespace flumina::host {

std::string FrameScaler::conversion(FrameSize sourceSize, AVPixelFormat sourceFormat) const {
    const char* sourceName = av_get_pix_fmt_name(sourceFormat);
    return logLine("cannot convert ", sourceSize.width, " x ", sourceSize.height, " ", sourceName ? sourceName : "?",
                   " frames to ", target_.width, " x ", target_.height, " ", av_get_pix_fmt_name(targetFormat_));
}

void FrameScaler::checkScaled(int rows, FrameSize sourceSize, AVPixelFormat sourceFormat) const {
    // sws_scale answers with the rows it wrote; none (or an error) is a frame that was not converted.
    if (rows <= 0) throw AvError(conversion(sourceSize, sourceFormat), rows < 0 ? rows : AVERROR(EINVAL));
}

SwsContext* FrameScaler::contextFor(FrameSize sourceSize, AVPixelFormat sourceFormat) {
    // Rebuilt only when a stream changes size or format mid-way.
    if (context_ && sourceSize == sourceSize_ && sourceFormat == sourceFormat_) return context_.get();
    SwsPtr context(sws_alloc_context());
    if (!context) throw std::bad_alloc();
    av_opt_set_int(context.get(), "srcw", sourceSize.width, 0);
    av_opt_set_int(context.get(), "srch", sourceSize.height, 0);
    av_opt_set_int(context.get(), "src_format", sourceFormat, 0);
    av_opt_set_int(context.get(), "dstw", target_.width, 0);
    av_opt_set_int(context.get(), "dsth", target_.height, 0);
    av_opt_set_int(context.get(), "dst_format", targetFormat_, 0);
    av_opt_set_int(context.get(), "sws_flags", SWS_BICUBIC, 0);
    // Conversion sits between the client taking a frame and the next being
    // ready, so it is split over the cores (slices).
    av_opt_set_int(context.get(), "threads", threads_, 0);
    avCheck(sws_init_context(context.get(), nullptr, nullptr), conversion(sourceSize, sourceFormat));
    context_ = std::move(context);
    sourceSize_ = sourceSize;
    sourceFormat_ = sourceFormat;
    return context_.get();
}

void FrameScaler::scaleToPacked(const AVFrame& source, char* destination) {
    const FrameSize sourceSize{source.width, source.height};
    const auto sourceFormat = static_cast<AVPixelFormat>(source.format);
    SwsContext* context = contextFor(sourceSize, sourceFormat);
    uint8_t* planes[4] = {reinterpret_cast<uint8_t*>(destination), nullptr, nullptr, nullptr};
    int strides[4] = {target_.width * 3, 0, 0, 0};
    checkScaled(sws_scale(context, source.data, source.linesize, 0, source.height, planes, strides), sourceSize,
                sourceFormat);
}

void FrameScaler::scaleFromBuffer(const char* source, FrameSize sourceSize, AVPixelFormat sourceFormat,
                                  AVFrame& destination) {
    SwsContext* context = contextFor(sourceSize, sourceFormat);
    const uint8_t* planes[4] = {};
    int strides[4] = {};
    avCheck(av_image_fill_arrays(const_cast<uint8_t**>(planes), strides, reinterpret_cast<const uint8_t*>(source),
                                 sourceFormat, sourceSize.width, sourceSize.height, 1),
            conversion(sourceSize, sourceFormat));
    checkScaled(sws_scale(context, planes, strides, 0, sourceSize.height, destination.data, destination.linesize),
                sourceSize, sourceFormat);
}

}  // namespace flumina::host
