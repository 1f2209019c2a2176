// A live synthetic camera: colour bars that scroll, a box that bounces and a
// frame counter, so that a camera session runs where there is no camera.
#pragma once

#include <atomic>
#include <chrono>

#include "frame_source.h"
#include "libav.h"

namespace flumina::host {

class TestPattern final : public FrameSource {
public:
    static constexpr double kFrameRate = 30;

    TestPattern(FrameSize size, std::string label, const std::atomic<bool>& stop);

    FrameSize size() const override { return size_; }
    bool recorded() const override { return false; }
    // Waits for the pattern's next frame time, as a camera would; nullptr once stopped.
    AVFrame* next() override;
    double secondsOf(const AVFrame& frame) const override;
    std::string description() const override;

private:
    void draw(long number);

    FrameSize size_;
    std::string label_;
    const std::atomic<bool>& stop_;
    FramePtr frame_;
    long count_ = 0;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace flumina::host
