#include "session.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>

#include "channel_taker.h"
#include "channels.h"
#include "input_stream.h"
#include "host_limits.h"
#include "log.h"
#include "media_input.h"
#include "push_intake.h"
#include "recording_reader.h"
#include "replay_input.h"
#include "shm_region.h"
#include "stream_encoder.h"
#include "stream_stats.h"
#include "test_pattern.h"
#include "url_schemes.h"

namespace flumina::host {

namespace ch = flumina::channels;
using korvane::ipc::dev::ShmRegion;

namespace {

constexpr FrameSize kDefaultPatternSize{640, 480};

std::size_t clientFrameBytes(FrameSize frame, const StreamSpec& spec) {
    return std::max(frame.rgbBytes(), spec.outSize ? spec.outSize->rgbBytes() : 0);
}

// What the three channels of a stream whose client reads `frame` take in shared memory.
std::size_t channelBytes(FrameSize frame, const StreamSpec& spec) {
    const std::size_t client = clientFrameBytes(frame, spec);
    return ShmRegion::objectBytes(ch::kInputPayloadOffset + frame.rgbBytes()) +
           ShmRegion::objectBytes(ch::kDisplayPayloadOffset + client) + ShmRegion::objectBytes(ch::kPushPayloadOffset + client);
}

void checkChannelBytes(std::size_t total) {
    if (total > kMaxChannelBytesPerSession)
        throw ConfigError(logLine("the session's channels would take ", total >> 20,
                                  " MiB of shared memory; a session may take at most ",
                                  kMaxChannelBytesPerSession >> 20, " MiB"));
}

}  // namespace

// Members in order of construction; the threads, last, go first.
struct Session::Stream {
    StreamSpec spec;
    FrameSize frameSize;
    std::string source;
    InputStream::Reopen reopen;
    std::unique_ptr<FrameSource> opened;                  // until the decoder takes it
    std::vector<std::unique_ptr<OutputEncoder>> outputs;  // until the encoder takes them
    std::unique_ptr<ShmRegion> input, display, push;
    StreamStats stats;
    std::shared_ptr<StreamRecorder> recorder;             // with --record, for a live input
    // What the live view may take of the decoded and pushed frames, for streams that have them.
    std::shared_ptr<FrameTap> decodedTap, pushedTap;
    std::unique_ptr<InputStream> decoder;
    std::unique_ptr<StreamEncoder> encoder;
    std::unique_ptr<PushIntake> intake;
    std::unique_ptr<ChannelTaker> pushTaker, displayTaker;
    std::uint64_t lastDelivered = 0, lastEncoded = 0;

    std::size_t index() const { return spec.index; }
    // Bytes of the frames the client reads, and of those it shows and pushes.
    std::size_t inputFrame() const { return frameSize.rgbBytes(); }
    std::size_t clientFrame() const { return clientFrameBytes(frameSize, spec); }
};

Session::Session(const HostOptions& options, const UsbDevices& usb)
    : options_(options), usb_(usb), lastProgress_(std::chrono::steady_clock::now()) {}

Session::~Session() { stop("session replaced"); }

void Session::interrupt() { stop_.store(true); }

void Session::open(const SessionSpec& spec) {
    useType_ = spec.useType;
    configuration_ = spec.configuration;
    if (!options_.recordDir.empty()) recording_ = std::make_unique<SessionRecording>(options_.recordDir);
    // What the sizes known now need already, so that a session far too large opens no encoder.
    std::size_t least = 0;
    for (const StreamSpec& stream : spec.streams) least += channelBytes(stream.resize.value_or(FrameSize{}), stream);
    checkChannelBytes(least);
    const int cores = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    codecThreads_ = std::clamp(cores / static_cast<int>(spec.streams.size()), 1, kMaxCodecThreadsPerStream);
    for (const StreamSpec& streamSpec : spec.streams) {
        streams_.push_back(std::make_unique<Stream>());
        streams_.back()->spec = streamSpec;
    }
    // Streams open at once, so that slow network inputs do not add up; the
    // first failure ends the others' opens, and is the one reported.
    std::atomic<std::size_t> next{0};
    std::mutex failed;
    std::string failure;
    auto work = [&] {
        for (std::size_t at = next++; at < streams_.size() && !stop_.load(); at = next++) {
            try {
                openStream(*streams_[at]);
            } catch (const std::exception& e) {
                std::lock_guard<std::mutex> lock(failed);
                if (failure.empty() && !stop_.load()) failure = e.what();
                stop_.store(true);
            }
        }
    };
    std::vector<std::thread> helpers;
    try {
        for (std::size_t i = 1; i < std::min(streams_.size(), kParallelOpens); ++i) helpers.emplace_back(work);
    } catch (const std::system_error&) {
        // Fewer helpers then; the streams open all the same.
    }
    work();
    for (std::thread& helper : helpers) helper.join();
    if (!failure.empty()) throw ConfigError(failure);
    if (stop_.load()) throw ConfigError("opening the session was interrupted");
}

InputStream::Reopen Session::mediaInput(InputTarget target, Stream& stream) {
    target.threads = codecThreads_;
    target.autorotate = options_.autorotate;
    target.inputTimeout = options_.inputTimeout;
    return [this, target, &stream](double timeout) {
        auto input = std::make_unique<MediaInput>(target, stop_, timeout);
        if (recording_ && !input->recorded()) {
            // The first live opening starts the stream's recording; reconnections go on with it.
            if (!stream.recorder)
                stream.recorder = std::make_shared<StreamRecorder>(stream.index(), recording_->streamPath(stream.index()),
                                                                   stream.stats.error);
            input->recordTo(stream.recorder);
        }
        return input;
    };
}

InputStream::Reopen Session::replayInput(const std::string& url) {
    auto recording = std::make_shared<RecordingReader>(*replayPath(url), options_.replaySpeed, stop_);
    return [this, recording](double timeout) {
        return std::make_unique<ReplayInput>(recording, timeout, options_.inputTimeout, codecThreads_);
    };
}

void Session::openStream(Stream& stream) {
    const StreamSpec& spec = stream.spec;
    const std::size_t index = spec.index;
    const double timeout = options_.openTimeout;
    if (spec.kind == InputKind::Camera || spec.kind == InputKind::UsbCamera) {
        const std::string label = logLine("camera ", spec.kind == InputKind::Camera ? std::to_string(spec.cameraId)
                                                                                     : "USB " + spec.usbDeviceId.dump());
        if (options_.testCameras) {
            const FrameSize patternSize =
                spec.resize ? *spec.resize : streams_.front()->spec.resize.value_or(kDefaultPatternSize);
            stream.reopen = [this, label, patternSize](double) {
                return std::make_unique<TestPattern>(patternSize, label, stop_);
            };
        } else {
            std::string device = "/dev/video" + std::to_string(spec.cameraId);
            if (spec.kind == InputKind::UsbCamera) {
                const std::optional<std::string> found = usb_.videoDeviceFor(spec.usbDeviceId);
                if (!found)
                    failStream(index, "no video device belongs to USB device " + spec.usbDeviceId.dump() +
                                          " (is it a camera? --test-cameras uses a test pattern instead)");
                device = *found;
            }
            InputTarget target{device, "v4l2", "", label};
            stream.reopen = mediaInput(target, stream);
        }
    } else if (spec.kind == InputKind::Network && replayPath(spec.url)) {
        try {
            stream.reopen = replayInput(spec.url);
        } catch (const std::exception& e) {
            failStream(index, e.what());
        }
    } else if (spec.kind == InputKind::Network || spec.kind == InputKind::File) {
        const bool network = spec.kind == InputKind::Network;
        const std::optional<std::string> file = network ? plainFilePath(spec.url) : spec.path;
        InputTarget target{network ? spec.url : spec.path, "", spec.codecHint, network ? "url" : "file"};
        target.file = file.value_or("");
        stream.reopen = mediaInput(target, stream);
    }
    if (stream.reopen) {
        try {
            stream.opened = stream.reopen(timeout);
        } catch (const std::exception& e) {
            failStream(index, e.what());
        }
        stream.source = stream.opened->description();
        log().line(logLine("stream ", index, ": input opened: ", stream.source));
    } else {
        stream.source = "no input";
    }

    for (const std::string* destination : {&spec.outUrl, &spec.outPath}) {
        if (destination->empty()) continue;
        OutputTarget target;
        target.destination = *destination;
        target.isUrl = destination == &spec.outUrl;
        target.size = *spec.outSize;
        target.frameRate = *spec.outFrameRate;
        target.codec = options_.codec;
        target.timeout = timeout;
        target.threads = codecThreads_;
        target.cancel = &stop_;
        try {
            stream.outputs.push_back(std::make_unique<OutputEncoder>(target, stream.stats.error));
        } catch (const std::exception& e) {
            failStream(index, e.what());
        }
        log().line(logLine("stream ", index, ": output ready: ", target.destination, " (",
                           codecName(options_.codec), " ", target.size.width, " x ",
                           target.size.height, " at ", target.frameRate, " fps)"));
    }
}

void Session::attachChannels() {
    // A stream without a size of its own is read at stream 0's: the reply reports
    // one size and a Python client reads every stream at it.
    std::size_t total = 0;
    for (auto& stream : streams_) {
        const StreamSpec& spec = stream->spec;
        std::optional<FrameSize> size = spec.resize;
        if (!size && spec.index > 0 && streams_.front()->frameSize.width > 0) size = streams_.front()->frameSize;
        if (!size) size = stream->opened ? stream->opened->size() : spec.outSize.value_or(FrameSize{});
        stream->frameSize = *size;
        total += channelBytes(stream->frameSize, spec);
    }
    checkChannelBytes(total);
    for (auto& stream : streams_) attachStream(*stream);
}

void Session::attachStream(Stream& stream) {
    const StreamSpec& spec = stream.spec;
    const std::size_t index = spec.index;
    const AVPixelFormat pixelFormat = rgbFormatOf(options_.pixelOrder);

    // Channels: kept or grown, never shrunk, since a client may have them mapped.
    try {
        std::string replaced;
        auto channel = [&](const std::string& name, std::size_t capacity) {
            auto region = ShmRegion::openOwned(name, capacity, &replaced);
            if (!replaced.empty())
                log().line(logLine("stream ", index, ": channel ", name, " was not the host's to use (", replaced,
                                   "): replaced by a new one"));
            return region;
        };
        stream.input = channel(ch::inputChannelName(index), ch::kInputPayloadOffset + stream.inputFrame());
        stream.display = channel(ch::displayChannelName(index), ch::kDisplayPayloadOffset + stream.clientFrame());
        stream.push = channel(ch::pushChannelName(index), ch::kPushPayloadOffset + stream.clientFrame());
    } catch (const std::exception& e) {
        failStream(index, std::string("cannot create its channels: ") + e.what());
    }
    // No frame of an earlier session may look like one of this session.
    InputChannelWriter(*stream.input).reset();
    stream.display->store_word_release(ch::kSizeWordOffset, 0);
    stream.push->store_word_release(ch::kSizeWordOffset, 0);

    if (stream.opened) {
        InputStreamSettings settings;
        settings.index = index;
        settings.frameSize = stream.frameSize;
        settings.pixelFormat = pixelFormat;
        settings.pacing = options_.pacing;
        settings.loop = options_.loop;
        settings.reconnect = spec.kind == InputKind::Network ? options_.reconnect : 0;
        settings.openTimeout = options_.openTimeout;
        settings.threads = codecThreads_;
        stream.decodedTap = std::make_shared<FrameTap>();
        settings.tap = stream.decodedTap.get();
        // A recording ends with the live input it records.
        if (stream.recorder) settings.liveInputOver = [recorder = stream.recorder] { recorder->finish(); };
        stream.decoder = std::make_unique<InputStream>(settings, std::move(stream.opened), stream.reopen, *stream.input,
                                                       stream.stats, stop_);
    } else {
        InputChannelWriter(*stream.input).publishEnd();  // no input: no frame will ever come
    }

    if (!stream.outputs.empty()) {
        stream.encoder = std::make_unique<StreamEncoder>(index, *spec.outSize, std::move(stream.outputs), stream.stats);
        PushIntakeSettings intake;
        intake.index = index;
        intake.outSize = *spec.outSize;
        intake.rgbFormat = pixelFormat;
        intake.frameRate = *spec.outFrameRate;
        intake.live = stream.encoder->live();
        stream.intake = std::make_unique<PushIntake>(intake, stream.encoder->queue(), stream.stats);
        stream.pushedTap = std::make_shared<FrameTap>();
        stream.pushTaker = std::make_unique<ChannelTaker>(
            index, "push channel", logLine("push ", index), stream.stats.error, *stream.push,
            ch::kPushPayloadOffset, ChannelTaker::Bytes::Copied,
            [&stream](std::vector<char>& frame, const TakenFrame& taken) {
                if (taken.sound(frame)) stream.pushedTap->offer(frame);
                stream.intake->accept(frame, taken, std::chrono::steady_clock::now());
            });
    }
    // Shown frames are only counted: the display channel itself holds the
    // latest until the client shows the next, and the view copies it from there.
    stream.displayTaker = std::make_unique<ChannelTaker>(
        index, "display channel", logLine("show ", index), stream.stats.error, *stream.display,
        ch::kDisplayPayloadOffset, ChannelTaker::Bytes::NotCopied,
        [&stream](std::vector<char>&, const TakenFrame& taken) {
            stream.stats.shown.fetch_add(1 + taken.missed, std::memory_order_relaxed);
        });
}

FrameSize Session::reportedSize() const { return streams_.front()->frameSize; }

ViewedSession Session::viewed() const {
    ViewedSession session{useType_, {}};
    for (const auto& stream : streams_) {
        ViewedStream& view = session.streams.emplace_back();
        view.index = stream->index();
        view.input = stream->source;
        view.frameSize = stream->frameSize;
        for (const std::string* output : {&stream->spec.outUrl, &stream->spec.outPath})
            if (!output->empty()) view.outputs.push_back(*output);
        view.outSize = stream->spec.outSize;
        view.outFrameRate = stream->spec.outFrameRate.value_or(0);
        view.deviceProblems = stream->spec.deviceProblems;
        view.stats = &stream->stats;
        view.recorder = stream->recorder;
        view.display = stream->display.get();
        view.decoded = stream->decodedTap;
        view.pushed = stream->pushedTap;
    }
    return session;
}

void Session::start() {
    started_ = true;
    std::string streams;
    for (const auto& stream : streams_) {
        streams += logLine("; stream ", stream->index(), ": ", stream->frameSize.width, " x ", stream->frameSize.height,
                           " from ", stream->source);
        for (const std::string& problem : stream->spec.deviceProblems)
            log().line(logLine("stream ", stream->index(), ": warning: ", problem));
        if (stream->recorder) log().line(logLine("stream ", stream->index(), ": recording to ", stream->recorder->path()));
        if (stream->decoder) stream->decoder->start();
        if (stream->encoder) stream->encoder->start();
        if (stream->pushTaker) stream->pushTaker->start();
        stream->displayTaker->start();
    }
    log().line(logLine("session started: use type ", useType_, ", ", streams_.size(),
                       streams_.size() == 1 ? " stream" : " streams", streams));
    if (recording_) {
        std::vector<RecordedStream> recorded;
        for (const auto& stream : streams_)
            recorded.push_back({stream->index(), stream->source, stream->recorder ? stream->recorder->path() : ""});
        recording_->writeRecord(useType_, configuration_, recorded);
    }
    lastProgress_ = std::chrono::steady_clock::now();
}

void Session::stop(const std::string& reason) {
    if (stopped_) return;
    stopped_ = true;
    stop_.store(true);
    for (auto& stream : streams_)
        if (stream->decoder) stream->decoder->wake();
    // Recordings end now: what a stopping input still reads is no longer the session's.
    for (auto& stream : streams_)
        if (stream->recorder) stream->recorder->finish();
    // Outputs first: what the client pushed is encoded and finalised while
    // the inputs give their clients a moment to take a last frame.
    for (auto& stream : streams_) {
        if (stream->pushTaker) stream->pushTaker->stop();
        if (stream->displayTaker) stream->displayTaker->stop();
    }
    for (auto& stream : streams_)
        if (stream->encoder) stream->encoder->finish();
    for (auto& stream : streams_)
        if (stream->decoder) stream->decoder->join();
    if (!started_) return;  // a session that failed to open was never announced
    for (auto& stream : streams_) {
        const StreamStats& s = stream->stats;
        std::string line = logLine("stream ", stream->index(), ": stopped: delivered ", s.delivered.load(), ", dropped ",
                                   s.dropped.load(), ", pushed ", s.pushed.load(), ", encoded ", s.encoded.load(),
                                   ", shown ", s.shown.load());
        if (s.skipped.load() > 0) line += logLine(", skipped ", s.skipped.load(), " pushed frames of a wrong size");
        if (s.overflowed.load() > 0) line += logLine(", ", s.overflowed.load(), " pushed frames dropped for a busy encoder");
        if (s.missed.load() > 0) line += logLine(", ", s.missed.load(), " pushed frames overwritten before taken");
        if (s.reconnections.load() > 0) line += logLine(", input reconnected ", s.reconnections.load(), " times");
        if (stream->decoder && stream->decoder->buffer().peakBytes() > 0) {
            const PlayoutBuffer& buffer = stream->decoder->buffer();
            line += logLine(", play-out delay ", std::lround(buffer.delay() * 1000), " ms, buffer peak ",
                            (buffer.peakBytes() + (1 << 19)) >> 20, " MiB");
        }
        log().line(line);
    }
    log().line("session stopped: " + reason);
}

std::string Session::progress() {
    const auto now = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(now - lastProgress_).count();
    lastProgress_ = now;
    std::string line;
    for (auto& stream : streams_) {
        const std::uint64_t delivered = stream->stats.delivered.load(), encoded = stream->stats.encoded.load();
        if (!line.empty()) line += "; ";
        line += logLine("stream ", stream->index(), ": in ", fps((delivered - stream->lastDelivered) / seconds),
                        ", out ", fps((encoded - stream->lastEncoded) / seconds), " (", delivered, " delivered, ",
                        stream->stats.dropped.load(), " dropped, ", encoded, " encoded, ", stream->stats.shown.load(),
                        " shown)");
        stream->lastDelivered = delivered;
        stream->lastEncoded = encoded;
    }
    return line;
}

}  // namespace flumina::host
