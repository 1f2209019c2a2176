#include "stream_recorder.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "log.h"
#include "thread_name.h"

namespace flumina::host {
namespace {

// Arrival time and bytes between cluster flushes: what a killed host may lose at most, besides its queue.
constexpr double kFlushSeconds = 0.5;
constexpr std::uint64_t kFlushBytes = std::uint64_t{1} << 20;
// Packets a decoder may reorder over, at most (FFmpeg's own bound).
constexpr std::size_t kReorderDepth = 17;
// Matroska counts milliseconds.
constexpr AVRational kFileTimeBase{1, 1000};

std::int64_t ticks(double seconds, AVRational timeBase) {
    return std::llround(seconds * timeBase.den / timeBase.num);
}

std::optional<std::int64_t> stamp(std::int64_t value) {
    return value == AV_NOPTS_VALUE ? std::nullopt : std::optional<std::int64_t>(value);
}

}  // namespace

struct StreamRecorder::Event {
    enum class Kind { Segment, Packet, Loss };
    explicit Event(Kind of) : kind(of) {}
    Kind kind;
    double at = 0;  // seconds since the recording began
    PacketPtr packet;
    CodecParametersPtr parameters;
    SegmentRecord segment;
    LossRecord loss;
};

struct StreamRecorder::Held {
    PacketPtr packet;
    PacketRecord record;
};

StreamRecorder::StreamRecorder(std::size_t index, std::string path, StreamError& errors)
    : index_(index), name_(logLine("stream ", index)), path_(std::move(path)), errors_(errors) {
    writer_ = std::thread([this] { run(); });
}

StreamRecorder::~StreamRecorder() { finish(); }

std::string StreamRecorder::failure() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failure_;
}

void StreamRecorder::beginSegment(const AVStream& stream, const std::string& source) {
    CodecParametersPtr parameters(avcodec_parameters_alloc());
    AVCodecParameters* copy = parameters.get();
    if (copy == nullptr || avcodec_parameters_copy(copy, stream.codecpar) < 0) {
        stop("cannot keep the input's codec parameters", true);
        return;
    }
    Event event(Event::Kind::Segment);
    event.parameters = std::move(parameters);
    SegmentRecord& segment = event.segment;
    segment.source = source;
    segment.codec = avcodec_get_name(copy->codec_id);
    segment.width = copy->width;
    segment.height = copy->height;
    segment.timeBase = stream.time_base;
    segment.startTime = stamp(stream.start_time);
    segment.frameRate = stream.avg_frame_rate.num > 0 ? stream.avg_frame_rate : stream.r_frame_rate;
    if (segment.frameRate.num <= 0 || segment.frameRate.den <= 0) segment.frameRate = {0, 1};
    segment.extradata.assign(reinterpret_cast<const char*>(copy->extradata), static_cast<std::size_t>(copy->extradata_size));
    push(std::move(event));
}

void StreamRecorder::packet(const AVPacket& packet) {
    Event event(Event::Kind::Packet);
    event.packet = allocatePacket();
    if (av_packet_ref(event.packet.get(), &packet) < 0) {
        stop("cannot keep a packet: out of memory", true);
        return;
    }
    push(std::move(event));
}

void StreamRecorder::lost(const std::string& reason, bool failed) {
    Event event(Event::Kind::Loss);
    event.loss.reason = reason;
    event.loss.failed = failed;
    push(std::move(event));
}

void StreamRecorder::push(Event event) {
    const auto now = Clock::now();
    std::string overflow;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (finishing_ || !failure_.empty()) return;
        if (!zero_) {
            if (event.kind != Event::Kind::Segment) return;
            zero_ = now;
        }
        event.at = std::chrono::duration<double>(now - *zero_).count();
        if (event.kind == Event::Kind::Segment) event.segment.opened = event.at;
        if (event.kind == Event::Kind::Loss) event.loss.at = event.at;
        const std::size_t bytes = event.packet ? static_cast<std::size_t>(event.packet->size) : 0;
        if (queuedBytes_ + bytes > kRecordingBacklogBytes) {
            overflow = logLine("the disk falls behind: ", kRecordingBacklogBytes >> 20, " MiB of packets wait to be written");
        } else {
            queuedBytes_ += bytes;
            queue_.push_back(std::move(event));
        }
    }
    if (!overflow.empty()) return stop(overflow, true);
    changed_.notify_one();
}

void StreamRecorder::stop(const std::string& reason, bool error) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!failure_.empty()) return;
        failure_ = reason;
        queue_.clear();
        queuedBytes_ = 0;
    }
    const std::string what = logLine("recording stopped: ", reason, "; ", path_, " holds what came before");
    if (error) errors_.report(index_, what);
    else log().line(logLine(name_, ": ", what));
}

void StreamRecorder::finish() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!finishing_ && zero_) ended_ = std::chrono::duration<double>(Clock::now() - *zero_).count();
        finishing_ = true;
    }
    changed_.notify_one();
    if (writer_.joinable()) writer_.join();
}

void StreamRecorder::run() {
    nameThisThread(logLine("record ", index_));
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return !queue_.empty() || finishing_; });
        if (queue_.empty()) break;
        Event event = std::move(queue_.front());
        queue_.pop_front();
        if (event.packet) queuedBytes_ -= static_cast<std::size_t>(event.packet->size);
        lock.unlock();
        try {
            handle(event);
        } catch (const std::exception& e) {
            stop(e.what(), true);
        }
        lock.lock();
    }
    const bool stopped = !failure_.empty();
    lock.unlock();
    try {
        if (held_) held_->record.ended = ended_;
        if (!stopped) writeHeld();
        close(!stopped);
    } catch (const std::exception& e) {
        stop(e.what(), true);
        close(false);
        return;
    }
    if (stopped || packets_ == 0) return;
    log().line(logLine(name_, ": recorded ", packets_, " packets over ", std::round(lastArrival_ * 10) / 10, " s (",
                       std::round(bytes_ / 1024.0), " KiB) to ", path_));
}

void StreamRecorder::handle(Event& event) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!failure_.empty()) return;
    }
    switch (event.kind) {
        case Event::Kind::Segment:
            writeHeld();  // the connection before ended without a loss seen (a packetless one between)
            if (file_ && event.parameters->codec_id != codec_) {
                close(true);
                return stop(logLine("the input came back as ", event.segment.codec, ", and a recording holds one codec"),
                            false);
            }
            pendingSegment_ = std::move(event.segment);
            segmentParameters_ = std::move(event.parameters);
            break;
        case Event::Kind::Packet: {
            writeHeld();
            if (!file_) open(*segmentParameters_);
            auto held = std::make_unique<Held>();
            AVPacket& packet = *event.packet;
            PacketRecord& record = held->record;
            record.arrival = event.at;
            record.pts = stamp(packet.pts);
            record.dts = stamp(packet.dts);
            std::size_t size = 0;
            if (const std::uint8_t* extradata = av_packet_get_side_data(&packet, AV_PKT_DATA_NEW_EXTRADATA, &size))
                record.newExtradata.assign(reinterpret_cast<const char*>(extradata), size);
            record.segment = std::move(pendingSegment_);
            pendingSegment_.reset();
            held->packet = std::move(event.packet);
            held_ = std::move(held);
            break;
        }
        case Event::Kind::Loss:
            // Held on until the next connection or the end, which it may have to carry too.
            // A connection lost before its first packet leaves no trace.
            if (held_) held_->record.lost = event.loss;
            break;
    }
}

void StreamRecorder::writeHeld() {
    if (!held_) return;
    std::unique_ptr<Held> held = std::move(held_);
    write(*held);
}

void StreamRecorder::open(const AVCodecParameters& parameters) {
    FileDescriptor fd(::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd) throw std::runtime_error("cannot create " + path_ + ": " + std::strerror(errno));
    AVFormatContext* muxer = nullptr;
    avCheck(avformat_alloc_output_context2(&muxer, nullptr, "matroska", path_.c_str()),
            "cannot set up the Matroska muxer for " + path_);
    muxer_.reset(muxer);
    file_ = std::make_unique<FileIo>(std::move(fd), FileIo::Mode::Write);
    muxer_->pb = file_->context();
    muxer_->flags |= AVFMT_FLAG_CUSTOM_IO;
    stream_ = avformat_new_stream(muxer_.get(), nullptr);
    if (stream_ == nullptr) throw std::bad_alloc();
    avCheck(avcodec_parameters_copy(stream_->codecpar, &parameters), "cannot describe the recorded stream");
    stream_->codecpar->codec_tag = 0;
    stream_->time_base = kFileTimeBase;
    codec_ = parameters.codec_id;
    avCheck(avformat_write_header(muxer_.get(), nullptr), "cannot start writing " + path_);
    checkWritten("cannot write " + path_);
}

void StreamRecorder::write(Held& held) {
    AVPacket& packet = *held.packet;
    const PacketRecord& record = held.record;
    const AVRational fileTimeBase = stream_->time_base;
    if (record.segment) {
        timeBase_ = record.segment->timeBase;
        const AVRational rate = record.segment->frameRate;
        frameTicks_ = rate.num > 0 ? std::max<std::int64_t>(1, av_rescale_q(1, av_inv_q(rate), fileTimeBase)) : 1;
        firstDts_.reset();
        recentPresentations_.clear();
    }
    if (!firstDts_ && (record.dts || record.pts)) {
        // Each connection's time stamps run on in the file from its first
        // stamped packet's arrival, a frame after any unstamped one before it
        // (RTP stamps none until its clock is known).
        fileBase_ = ticks(record.arrival, fileTimeBase);
        if (lastFileDts_ != INT64_MIN) fileBase_ = std::max(fileBase_, lastFileDts_ + frameTicks_);
        firstDts_ = record.dts ? record.dts : record.pts;
    }
    auto inFile = [&](const std::optional<std::int64_t>& value) -> std::optional<std::int64_t> {
        if (!value || !firstDts_) return std::nullopt;
        return fileBase_ + av_rescale_q(*value - *firstDts_, timeBase_, fileTimeBase);
    };
    // Matroska keeps presentation times only, but the muxer wants decode times
    // too, never stepping back and never after the presentation time. A source
    // that gives none (RTP) gets the earliest presentation time of its last
    // few packets, as a decoder that reorders that far sees them. The record
    // keeps the source's own.
    const std::optional<std::int64_t> decodeTime = inFile(record.dts);
    const std::int64_t presented = inFile(record.pts).value_or(decodeTime.value_or(ticks(record.arrival, fileTimeBase)));
    recentPresentations_.push_back(presented);
    if (recentPresentations_.size() > kReorderDepth) recentPresentations_.pop_front();
    std::int64_t dts = decodeTime.value_or(*std::min_element(recentPresentations_.begin(), recentPresentations_.end()));
    if (lastFileDts_ != INT64_MIN) dts = std::max(dts, lastFileDts_);
    packet.dts = dts;
    packet.pts = std::max(presented, dts);
    packet.duration = av_rescale_q(packet.duration, timeBase_, fileTimeBase);
    packet.stream_index = stream_->index;
    packet.pos = -1;
    attachRecord(packet, record);
    const int size = packet.size;
    avCheck(av_write_frame(muxer_.get(), &packet), "cannot write " + path_);
    checkWritten("cannot write " + path_);
    lastFileDts_ = dts;
    ++packets_;
    bytes_ += static_cast<std::uint64_t>(size);
    lastArrival_ = record.arrival;
    if (record.arrival - lastFlush_ >= kFlushSeconds || bytes_ - flushedBytes_ >= kFlushBytes) {
        flush();
        lastFlush_ = record.arrival;
        flushedBytes_ = bytes_;
    }
}

void StreamRecorder::flush() {
    avCheck(av_write_frame(muxer_.get(), nullptr), "cannot write " + path_);
    avio_flush(muxer_->pb);
    checkWritten("cannot write " + path_);
}

void StreamRecorder::checkWritten(const std::string& operation) {
    if (muxer_->pb->error < 0) throw AvError(operation, muxer_->pb->error);
}

void StreamRecorder::close(bool trailer) {
    if (!muxer_) return;
    std::string problem;
    if (trailer) {
        const int written = av_write_trailer(muxer_.get());
        if (written < 0) problem = "cannot finalise " + path_ + ": " + avErrorText(written);
        else if (muxer_->pb->error < 0) problem = "cannot finalise " + path_ + ": " + avErrorText(muxer_->pb->error);
    }
    muxer_.reset();
    file_.reset();
    if (!problem.empty()) throw std::runtime_error(problem);
}

}  // namespace flumina::host
