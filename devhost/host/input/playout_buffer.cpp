#include "playout_buffer.h"

#include <algorithm>

namespace flumina::host {
namespace {

// A step back in time stamps beyond this, or one forward beyond what the
// buffer holds, is a new clock (a source that restarted or wrapped).
constexpr double kStepBack = 0.5;
// Sleeps are bounded so that a wait notices `stop` even without wake().
constexpr auto kLongestWait = std::chrono::milliseconds(200);

std::size_t bytesOf(const AVFrame& frame) {
    std::size_t bytes = 0;
    for (const AVBufferRef* buffer : frame.buf)
        if (buffer != nullptr) bytes += buffer->size;
    for (int i = 0; i < frame.nb_extended_buf; ++i) bytes += frame.extended_buf[i]->size;
    return bytes;
}

}  // namespace

PlayoutBuffer::PlayoutBuffer(PlayoutLimits limits, Now now)
    : limits_(limits), now_(std::move(now)), epoch_(now_()) {}

double PlayoutBuffer::nowSeconds() const { return std::chrono::duration<double>(now_() - epoch_).count(); }

std::size_t PlayoutBuffer::push(const AVFrame& frame, double seconds) {
    FramePtr reference = allocateFrame();
    avCheck(av_frame_ref(reference.get(), &frame), "cannot keep a decoded frame");
    const std::size_t bytes = bytesOf(*reference);
    const double now = nowSeconds();
    std::size_t dropped = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        double due = now;
        if (seconds >= 0) {
            if (haveLast_ && (seconds < lastSeconds_ - kStepBack || seconds > lastSeconds_ + limits_.seconds)) {
                settled_ = false;
                late_.clear();
            } else if (haveLast_ && !settled_ && seconds > lastSeconds_) {
                settled_ = now - lastArrival_ >= (seconds - lastSeconds_) / 2;
            }
            if (settled_) {
                const double offset = now - seconds;
                while (!late_.empty() && late_.back().offset <= offset) late_.pop_back();
                late_.push_back({now, offset});
                while (late_.front().arrival < now - kPlayoutWindow) late_.pop_front();
                due = seconds + late_.front().offset;
            }
            haveLast_ = true;
            lastSeconds_ = seconds;
            lastArrival_ = now;
        }
        held_.push_back({std::move(reference), seconds, due, bytes});
        bytes_ += bytes;
        while (fullLocked()) {
            bytes_ -= held_.front().bytes;
            held_.pop_front();
            ++dropped;
        }
        peakBytes_ = std::max(peakBytes_, bytes_);
    }
    changed_.notify_all();
    return dropped;
}

bool PlayoutBuffer::fullLocked() const {
    if (held_.size() < 2) return false;
    if (bytes_ > limits_.bytes) return true;
    const Held &oldest = held_.front(), &newest = held_.back();
    return oldest.seconds >= 0 && newest.seconds - oldest.seconds > limits_.seconds;
}

void PlayoutBuffer::restartClock() {
    std::lock_guard<std::mutex> lock(mutex_);
    settled_ = false;
    haveLast_ = false;
    late_.clear();
}

void PlayoutBuffer::finish() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        finished_ = true;
    }
    changed_.notify_all();
}

FramePtr PlayoutBuffer::takeDue() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (held_.empty() || held_.front().due > nowSeconds()) return nullptr;
    return popLocked();
}

FramePtr PlayoutBuffer::popLocked() {
    FramePtr frame = std::move(held_.front().frame);
    bytes_ -= held_.front().bytes;
    held_.pop_front();
    return frame;
}

FramePtr PlayoutBuffer::waitForDue(const std::atomic<bool>& stop) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (stop.load(std::memory_order_relaxed)) return nullptr;
        std::chrono::duration<double> wait = kLongestWait;
        if (!held_.empty()) {
            const double left = held_.front().due - nowSeconds();
            if (left <= 0) return popLocked();
            wait = std::min(wait, std::chrono::duration<double>(left));
        } else if (finished_) {
            return nullptr;
        }
        changed_.wait_for(lock, wait);
    }
}

void PlayoutBuffer::wake() { changed_.notify_all(); }

std::size_t PlayoutBuffer::frames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_.size();
}

std::size_t PlayoutBuffer::peakBytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return peakBytes_;
}

double PlayoutBuffer::delay() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return late_.empty() ? 0 : late_.front().offset - late_.back().offset;
}

}  // namespace flumina::host
