// Turns decoded pictures upright as their stream's display matrix asks (a
// phone's portrait video is stored sideways), the way FFmpeg's command line
// does: a right angle by transposing, half a turn by flipping, any other
// angle by rotating within the same frame.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "libav.h"
#include "frame_format.h"

struct AVFilterGraph;
struct AVFilterContext;

namespace flumina::host {

// What a display matrix asks: filters that make the picture upright and the
// clockwise turn in whole degrees, for messages.
struct Upright {
    std::string filters;  // empty when the picture is upright as stored
    int degrees = 0;
    bool swapsSides = false;
};

// `matrix`: a stream's AV_PKT_DATA_DISPLAYMATRIX side data, or null.
Upright uprightFor(const std::int32_t* matrix);

class FrameRotator {
public:
    explicit FrameRotator(Upright upright) : upright_(std::move(upright)) {}
    ~FrameRotator();
    FrameRotator(const FrameRotator&) = delete;
    FrameRotator& operator=(const FrameRotator&) = delete;

    FrameSize turned(FrameSize size) const {
        return upright_.swapsSides ? FrameSize{size.height, size.width} : size;
    }
    // The upright picture of `frame`, valid until the next call.
    AVFrame* turn(const AVFrame& frame);

private:
    // Built for the first frame, and again when the pictures change size or format.
    void build(const AVFrame& frame);

    Upright upright_;
    struct GraphFreer {
        void operator()(AVFilterGraph* graph) const noexcept;
    };
    std::unique_ptr<AVFilterGraph, GraphFreer> graph_;
    AVFilterContext* source_ = nullptr;  // owned by graph_
    AVFilterContext* sink_ = nullptr;
    FrameSize builtSize_;
    int builtFormat_ = -1;
    FramePtr turned_ = allocateFrame();
};

}  // namespace flumina::host
