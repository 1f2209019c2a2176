#include "frame_rotator.h"

#include <cmath>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/display.h>
}

#include "log.h"

namespace flumina::host {

Upright uprightFor(const std::int32_t* matrix) {
    if (matrix == nullptr) return {};
    // The matrix turns counter-clockwise; the picture must turn the other way.
    double theta = -std::round(av_display_rotation_get(matrix));
    theta -= 360 * std::floor(theta / 360 + 0.9 / 360);
    Upright upright;
    upright.degrees = static_cast<int>(std::lround(theta)) % 360;
    if (std::fabs(theta - 90) < 1.0) {
        upright.filters = matrix[3] > 0 ? "transpose=cclock_flip" : "transpose=clock";
        upright.swapsSides = true;
    } else if (std::fabs(theta - 180) < 1.0) {
        if (matrix[0] < 0) upright.filters = "hflip";
        if (matrix[4] < 0) upright.filters += upright.filters.empty() ? "vflip" : ",vflip";
    } else if (std::fabs(theta - 270) < 1.0) {
        upright.filters = matrix[3] < 0 ? "transpose=clock_flip" : "transpose=cclock";
        upright.swapsSides = true;
    } else if (std::fabs(theta) > 1.0) {
        upright.filters = logLine("rotate=", theta, "*PI/180");
    } else if (matrix[4] < 0) {
        upright.filters = "vflip";
    }
    return upright;
}

void FrameRotator::GraphFreer::operator()(AVFilterGraph* graph) const noexcept { avfilter_graph_free(&graph); }

FrameRotator::~FrameRotator() = default;

void FrameRotator::build(const AVFrame& frame) {
    graph_.reset(avfilter_graph_alloc());
    if (!graph_) throw std::bad_alloc();
    graph_->nb_threads = 1;
    const std::string sourceArgs =
        logLine("video_size=", frame.width, "x", frame.height, ":pix_fmt=", frame.format, ":time_base=1/1:pixel_aspect=",
                std::max(frame.sample_aspect_ratio.num, 1), "/", std::max(frame.sample_aspect_ratio.den, 1));
    avCheck(avfilter_graph_create_filter(&source_, avfilter_get_by_name("buffer"), "in", sourceArgs.c_str(), nullptr,
                                         graph_.get()),
            "cannot set up turning pictures upright");
    avCheck(avfilter_graph_create_filter(&sink_, avfilter_get_by_name("buffersink"), "out", nullptr, nullptr,
                                         graph_.get()),
            "cannot set up turning pictures upright");
    AVFilterInOut* outputs = avfilter_inout_alloc();
    AVFilterInOut* inputs = avfilter_inout_alloc();
    if (outputs == nullptr || inputs == nullptr) {
        avfilter_inout_free(&outputs);
        avfilter_inout_free(&inputs);
        throw std::bad_alloc();
    }
    outputs->name = av_strdup("in");
    outputs->filter_ctx = source_;
    inputs->name = av_strdup("out");
    inputs->filter_ctx = sink_;
    const int parsed = avfilter_graph_parse_ptr(graph_.get(), upright_.filters.c_str(), &inputs, &outputs, nullptr);
    avfilter_inout_free(&outputs);
    avfilter_inout_free(&inputs);
    avCheck(parsed, "cannot turn pictures upright with " + upright_.filters);
    avCheck(avfilter_graph_config(graph_.get(), nullptr), "cannot turn pictures upright with " + upright_.filters);
    builtSize_ = FrameSize{frame.width, frame.height};
    builtFormat_ = frame.format;
}

AVFrame* FrameRotator::turn(const AVFrame& frame) {
    if (!graph_ || !(builtSize_ == FrameSize{frame.width, frame.height}) || builtFormat_ != frame.format) build(frame);
    av_frame_unref(turned_.get());
    avCheck(av_buffersrc_add_frame_flags(source_, const_cast<AVFrame*>(&frame), AV_BUFFERSRC_FLAG_KEEP_REF),
            "cannot turn a picture upright");
    avCheck(av_buffersink_get_frame(sink_, turned_.get()), "cannot turn a picture upright");
    // One picture in, one out: the time stamps are the decoder's.
    turned_->best_effort_timestamp = frame.best_effort_timestamp;
    turned_->pts = frame.pts;
    return turned_.get();
}

}  // namespace flumina::host
