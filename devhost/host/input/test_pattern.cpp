#include "test_pattern.h"

#include <algorithm>
#include <cstdlib>
#include <thread>

#include "log.h"

namespace flumina::host {
namespace {

constexpr unsigned char kBars[8][3] = {{235, 235, 235}, {235, 235, 16}, {16, 235, 235}, {16, 235, 16},
                                       {235, 16, 235},  {235, 16, 16},  {16, 16, 235},  {16, 16, 16}};

// Bounces 0 .. span back and forth, one step a frame.
int bounce(long step, int span) {
    if (span <= 0) return 0;
    const long period = 2L * span;
    const long at = step % period;
    return static_cast<int>(at <= span ? at : period - at);
}

}  // namespace

TestPattern::TestPattern(FrameSize size, std::string label, const std::atomic<bool>& stop)
    : size_(size), label_(std::move(label)), stop_(stop), frame_(allocateFrame()),
      start_(std::chrono::steady_clock::now()) {
    frame_->format = AV_PIX_FMT_RGB24;
    frame_->width = size.width;
    frame_->height = size.height;
    avCheck(av_frame_get_buffer(frame_.get(), 0), "cannot allocate a test pattern frame");
}

std::string TestPattern::description() const {
    return logLine(label_, ": test pattern ", size_.width, " x ", size_.height, ", ", kFrameRate, " fps, live");
}

double TestPattern::secondsOf(const AVFrame& frame) const { return static_cast<double>(frame.pts) / kFrameRate; }

AVFrame* TestPattern::next() {
    const auto due = start_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                  std::chrono::duration<double>(count_ / kFrameRate));
    while (std::chrono::steady_clock::now() < due) {
        if (stop_.load()) return nullptr;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            due - std::chrono::steady_clock::now(), std::chrono::milliseconds(20)));
    }
    if (stop_.load()) return nullptr;
    // The previous frame may still be referenced (by the live view): draw into a buffer of our own.
    avCheck(av_frame_make_writable(frame_.get()), "cannot draw a test pattern frame");
    draw(count_);
    frame_->pts = count_++;
    return frame_.get();
}

void TestPattern::draw(long number) {
    const int w = size_.width, h = size_.height;
    const int shift = static_cast<int>((number * 4) % std::max(w, 1));
    for (int y = 0; y < h; ++y) {
        unsigned char* row = frame_->data[0] + static_cast<std::ptrdiff_t>(y) * frame_->linesize[0];
        for (int x = 0; x < w; ++x) {
            const unsigned char* bar = kBars[((x + shift) % w) * 8 / w];
            row[3 * x] = bar[0];
            row[3 * x + 1] = bar[1];
            row[3 * x + 2] = bar[2];
        }
    }
    const int box = std::max(4, std::min(w, h) / 6);
    const int bx = bounce(number * 3, w - box), by = bounce(number * 2, h - box);
    for (int y = by; y < by + box && y < h; ++y) {
        unsigned char* row = frame_->data[0] + static_cast<std::ptrdiff_t>(y) * frame_->linesize[0];
        std::fill(row + 3 * bx, row + 3 * std::min(bx + box, w), static_cast<unsigned char>(255));
    }
    // The frame number in binary, one square a bit, along the top edge: white 1, black 0.
    const int cell = std::max(2, w / 64);
    for (int bit = 0; bit < 16 && (bit + 1) * cell <= w; ++bit) {
        const unsigned char value = (number >> (15 - bit)) & 1 ? 255 : 0;
        for (int y = 0; y < cell && y < h; ++y) {
            unsigned char* row = frame_->data[0] + static_cast<std::ptrdiff_t>(y) * frame_->linesize[0];
            std::fill(row + 3 * bit * cell, row + 3 * (bit + 1) * cell, value);
        }
    }
}

}  // namespace flumina::host
