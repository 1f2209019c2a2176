#include "frame_timeline.h"

#include <algorithm>
#include <cmath>

namespace flumina::host {

std::int64_t FrameTimeline::place(Clock::time_point pushed) {
    if (!first_) first_ = pushed;
    const double seconds = std::chrono::duration<double>(pushed - *first_).count();
    lastIdeal_ = std::llround(std::max(0.0, seconds) * frameRate_);
    last_ = std::max(last_ + 1, lastIdeal_);
    return last_;
}

}  // namespace flumina::host
