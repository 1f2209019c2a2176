#include "client_frame_sampler.h"

#include <chrono>
#include <cstring>

#include "channels.h"
#include "frame_fingerprint.h"
#include "log.h"

namespace flumina::host {

namespace ch = flumina::channels;
using Clock = std::chrono::steady_clock;

ClientFrameSampler::ClientFrameSampler(SamplerSettings settings, std::vector<std::unique_ptr<OutputEncoder>> outputs,
                                       korvane::ipc::dev::ShmRegion& push, korvane::ipc::dev::ShmRegion& display,
                                       StreamStats& stats)
    : settings_(settings), outputs_(std::move(outputs)), push_(push), display_(display), stats_(stats) {
    if (!outputs_.empty()) {
        toEncoder_.emplace(*settings_.outSize, AV_PIX_FMT_YUV420P);
        encoderFrame_ = allocateFrame();
        encoderFrame_->format = AV_PIX_FMT_YUV420P;
        encoderFrame_->width = settings_.outSize->width;
        encoderFrame_->height = settings_.outSize->height;
        avCheck(av_frame_get_buffer(encoderFrame_.get(), 0), "cannot allocate an encoder frame");
    }
}

ClientFrameSampler::~ClientFrameSampler() { stop(); }

void ClientFrameSampler::start() { thread_ = std::thread([this] { run(); }); }

void ClientFrameSampler::stop() {
    if (stopped_) return;
    stopped_ = true;
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    for (auto& output : outputs_) {
        try {
            output->finish();
            if (output->removed())
                log().line(logLine("stream ", settings_.index, ": output ", output->destination(),
                                   ": no frame was pushed, so nothing is saved"));
            else
                log().line(logLine("stream ", settings_.index, ": output ", output->destination(), " finalised, ",
                                   output->framesWritten(), " frames", output->failed() ? " (stopped early)" : ""));
        } catch (const std::exception& e) {
            log().error(logLine("stream ", settings_.index, ": cannot finalise ", output->destination(), ": ",
                                e.what()));
        }
    }
}

void ClientFrameSampler::run() {
    // The push channel is looked at twice a frame period: a client that pushes
    // at the output rate, whatever its phase, has each frame seen before it
    // writes the next. At most one frame is encoded per period, time-stamped
    // with that period, so the output keeps its frame rate.
    const auto half = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(0.5 / settings_.frameRate));
    const auto origin = Clock::now();
    std::int64_t look = 0;
    try {
        while (!stop_.load(std::memory_order_relaxed)) {
            if (!outputs_.empty()) samplePush(look / 2);
            if (look % 2 == 0) sampleDisplay();
            // Looks missed while busy are skipped, keeping time stamps on the clock.
            look = std::max(look + 1, static_cast<std::int64_t>((Clock::now() - origin) / half));
            const auto due = origin + half * look;
            while (Clock::now() < due && !stop_.load(std::memory_order_relaxed))
                std::this_thread::sleep_for(std::min<Clock::duration>(due - Clock::now(), std::chrono::milliseconds(20)));
        }
    } catch (const std::exception& e) {
        log().error(logLine("stream ", settings_.index, ": sampling stopped: ", e.what()));
    }
}

const char* ClientFrameSampler::payloadOrNull(korvane::ipc::dev::ShmRegion& channel, std::size_t bytes,
                                              std::size_t offset, bool& warned, const char* kind) {
    try {
        return channel.span(bytes, offset);
    } catch (const std::out_of_range& e) {
        if (!warned) log().line(logLine("stream ", settings_.index, ": ", kind, " size word ", bytes,
                                        " points past the channel, ignored (", e.what(), ")"));
        warned = true;
        return nullptr;
    }
}

bool ClientFrameSampler::takeSettledCopy(const char* payload, std::size_t bytes, std::vector<char>& copy,
                                         std::uint64_t& fingerprint) {
    // The channels carry no signal, so a look may meet the client halfway
    // through writing a frame. A copy that still equals the channel a moment
    // later was not being written; otherwise try again, then leave the frame
    // to the next look rather than encode a torn one.
    constexpr auto kSettle = std::chrono::milliseconds(1);
    for (int attempt = 0; attempt < 3; ++attempt) {
        copy.assign(payload, payload + bytes);
        std::this_thread::sleep_for(kSettle);
        if (std::memcmp(copy.data(), payload, bytes) == 0) {
            fingerprint = frameFingerprint(copy.data(), bytes);
            return true;
        }
        stats_.torn.fetch_add(1, std::memory_order_relaxed);
    }
    return false;
}

void ClientFrameSampler::samplePush(std::int64_t period) {
    if (period <= lastEncodedPeriod_) return;  // this period has its frame
    const std::size_t bytes = push_.load_word_acquire(ch::kSizeWordOffset);
    if (bytes == 0) return;  // nothing pushed yet
    const FrameSize size = *settings_.outSize;
    AVPixelFormat format;
    if (bytes == size.rgbBytes()) {
        format = settings_.pixelFormat;
    } else if (bytes == size.nv12Bytes()) {
        format = AV_PIX_FMT_NV12;
    } else {
        stats_.skipped.fetch_add(1, std::memory_order_relaxed);
        if (!warnedPushSize_)
            log().line(logLine("stream ", settings_.index, ": skipping pushed frames of ", bytes, " bytes: ", size.width,
                               " x ", size.height, " needs ", size.rgbBytes(), " (3 bytes a pixel) or ", size.nv12Bytes(),
                               " (NV12)"));
        warnedPushSize_ = true;
        return;
    }
    const char* payload = payloadOrNull(push_, bytes, ch::kPushPayloadOffset, warnedPushRange_, "push");
    if (payload == nullptr) return;
    if (frameFingerprint(payload, bytes) == lastPush_) return;  // the client has not pushed since the last look
    std::uint64_t fingerprint;
    if (!takeSettledCopy(payload, bytes, pushed_, fingerprint) || fingerprint == lastPush_) return;
    lastPush_ = fingerprint;

    avCheck(av_frame_make_writable(encoderFrame_.get()), "cannot reuse the encoder frame");
    toEncoder_->scaleFromBuffer(pushed_.data(), size, format, *encoderFrame_);
    encoderFrame_->pts = period;
    lastEncodedPeriod_ = period;
    for (auto& output : outputs_) output->encode(encoderFrame_.get());
    stats_.encoded.fetch_add(1, std::memory_order_relaxed);
}

void ClientFrameSampler::sampleDisplay() {
    const std::size_t bytes = display_.load_word_acquire(ch::kSizeWordOffset);
    if (bytes == 0) return;
    const char* payload = payloadOrNull(display_, bytes, ch::kDisplayPayloadOffset, warnedDisplayRange_, "display");
    if (payload == nullptr) return;
    if (frameFingerprint(payload, bytes) == lastShown_) return;
    // Kept for a viewer, in a copy that survives the client's next write.
    std::uint64_t fingerprint;
    if (!takeSettledCopy(payload, bytes, latestShown_, fingerprint) || fingerprint == lastShown_) return;
    lastShown_ = fingerprint;
    stats_.shown.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace flumina::host
