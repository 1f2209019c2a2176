#include "stream_encoder.h"

#include "log.h"
#include "thread_name.h"

namespace flumina::host {

StreamEncoder::StreamEncoder(std::size_t index, FrameSize outSize, std::vector<std::unique_ptr<OutputEncoder>> outputs,
                             StreamStats& stats)
    : index_(index), outSize_(outSize), outputs_(std::move(outputs)), stats_(stats),
      toEncoder_(outSize, AV_PIX_FMT_YUV420P), encoderFrame_(allocateFrame()) {
    encoderFrame_->format = AV_PIX_FMT_YUV420P;
    encoderFrame_->width = outSize.width;
    encoderFrame_->height = outSize.height;
    avCheck(av_frame_get_buffer(encoderFrame_.get(), 0), "cannot allocate an encoder frame");
}

StreamEncoder::~StreamEncoder() { finish(); }

bool StreamEncoder::live() const {
    for (const auto& output : outputs_)
        if (output->isUrl()) return true;
    return false;
}

void StreamEncoder::start() { thread_ = std::thread([this] { run(); }); }

void StreamEncoder::run() {
    nameThisThread(logLine("encode ", index_));
    try {
        while (std::optional<PushedFrame> frame = queue_.take()) {
            encode(*frame);
            queue_.recycle(std::move(frame->bytes));
        }
    } catch (const std::exception& e) {
        stats_.error.report(index_, logLine("encoding stopped: ", e.what()));
    }
    // Nobody takes frames any more: pushes are refused from now on instead of waiting for room.
    queue_.close();
}

void StreamEncoder::encode(const PushedFrame& frame) {
    avCheck(av_frame_make_writable(encoderFrame_.get()), "cannot reuse the encoder frame");
    toEncoder_.scaleFromBuffer(frame.bytes.data(), outSize_, frame.format, *encoderFrame_);
    encoderFrame_->pts = frame.pts;
    for (auto& output : outputs_) output->encode(encoderFrame_.get());
    stats_.encoded.fetch_add(1, std::memory_order_relaxed);
}

void StreamEncoder::finish() {
    if (finished_) return;
    finished_ = true;
    queue_.close();
    if (thread_.joinable()) thread_.join();
    for (auto& output : outputs_) {
        try {
            output->finish();
            if (output->removed())
                log().line(logLine("stream ", index_, ": output ", output->destination(),
                                   ": no frame was pushed, so nothing is saved"));
            else
                log().line(logLine("stream ", index_, ": output ", output->destination(), " finalised, ",
                                   output->framesWritten(), " frames", output->failed() ? " (stopped early)" : ""));
        } catch (const std::exception& e) {
            stats_.error.report(index_, logLine("cannot finalise ", output->destination(), ": ", e.what()));
        }
    }
}

}  // namespace flumina::host
