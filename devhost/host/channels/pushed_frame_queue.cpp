#include "pushed_frame_queue.h"

namespace flumina::host {

bool PushedFrameQueue::put(PushedFrame& frame, bool waitForRoom) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (waitForRoom) changed_.wait(lock, [&] { return closed_ || frames_.size() < capacity_; });
    if (closed_ || frames_.size() >= capacity_) return false;
    frames_.push_back(std::move(frame));
    changed_.notify_all();
    return true;
}

std::optional<PushedFrame> PushedFrameQueue::take() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return closed_ || !frames_.empty(); });
    if (frames_.empty()) return std::nullopt;
    PushedFrame frame = std::move(frames_.front());
    frames_.pop_front();
    changed_.notify_all();
    return frame;
}

std::vector<char> PushedFrameQueue::spare() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (spares_.empty()) return {};
    std::vector<char> buffer = std::move(spares_.back());
    spares_.pop_back();
    return buffer;
}

void PushedFrameQueue::recycle(std::vector<char>&& buffer) {
    std::lock_guard<std::mutex> lock(mutex_);
    // As many as can be in flight at once; more would only hold memory.
    if (spares_.size() <= capacity_) spares_.push_back(std::move(buffer));
}

void PushedFrameQueue::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    changed_.notify_all();
}

}  // namespace flumina::host
