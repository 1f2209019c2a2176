#include "frame_tap.h"

namespace flumina::host {

void FrameTap::offer(const AVFrame& picture) {
    if (!claim()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    av_frame_unref(frame_.picture.get());
    frame_.bytes.clear();
    // A frame that cannot be referenced (out of memory) is one the view goes without.
    full_ = av_frame_ref(frame_.picture.get(), &picture) == 0;
}

void FrameTap::offer(const std::vector<char>& bytes) {
    if (!claim()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    av_frame_unref(frame_.picture.get());
    frame_.bytes.assign(bytes.begin(), bytes.end());
    full_ = true;
}

void FrameTap::cancel() {
    wanted_.store(false, std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(mutex_);
    full_ = false;
    av_frame_unref(frame_.picture.get());
}

bool FrameTap::take(TappedFrame& into) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!full_) return false;
    full_ = false;
    std::swap(into.picture, frame_.picture);
    into.bytes.swap(frame_.bytes);
    av_frame_unref(frame_.picture.get());
    return true;
}

}  // namespace flumina::host
