#include "recording_reader.h"

#include <algorithm>
#include <thread>

#include "regular_files.h"
#include "steady_seconds.h"

namespace flumina::host {
namespace {

// Sleeps are bounded so that a wait notices `stop`.
constexpr auto kLongestSleep = std::chrono::milliseconds(20);

}  // namespace

RecordingReader::RecordingReader(std::string path, double speed, const std::atomic<bool>& stop)
    : path_(std::move(path)), speed_(speed), stop_(stop) {
    file_ = std::make_unique<FileIo>(openInputFile(path_), FileIo::Mode::Read);
    AVFormatContext* raw = avformat_alloc_context();
    if (raw == nullptr) throw std::bad_alloc();
    raw->pb = file_->context();
    raw->flags |= AVFMT_FLAG_CUSTOM_IO;
    const int opened = avformat_open_input(&raw, path_.c_str(), av_find_input_format("matroska"), nullptr);
    format_.reset(raw);
    avCheck(opened, "cannot read " + path_ + " as a recording (Matroska)");
    for (unsigned i = 0; i < format_->nb_streams && streamIndex_ < 0; ++i)
        if (format_->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) streamIndex_ = static_cast<int>(i);
    if (streamIndex_ < 0) throw std::runtime_error(path_ + " holds no video stream");
    readNext();
    if (!next_) throw std::runtime_error(path_ + " holds no packet");
    if (!next_->record.segment) throw std::runtime_error(path_ + " is no recording of flumina-host: it begins with no connection");
}

void RecordingReader::readNext() {
    next_.reset();
    if (!endText_.empty()) return;
    PacketPtr packet = allocatePacket();
    for (;;) {
        const int read = av_read_frame(format_.get(), packet.get());
        if (read < 0) {
            endText_ = read == AVERROR_EOF ? "the end of the recording"
                                           : "the end of the recording, cut short (" + avErrorText(read) + ")";
            return;
        }
        if (packet->stream_index == streamIndex_) break;
        av_packet_unref(packet.get());
    }
    PacketRecord record = recordOf(*packet);
    next_.emplace(Entry{std::move(packet), std::move(record)});
}

RecordingReader::Entry* RecordingReader::peek() { return next_ ? &*next_ : nullptr; }

RecordingReader::Entry RecordingReader::take() {
    Entry taken = std::move(*next_);
    if (taken.record.ended) endedAt_ = taken.record.ended;
    readNext();
    return taken;
}

void RecordingReader::skipConnection() {
    while (next_ && !next_->record.segment) readNext();
}

void RecordingReader::startClock() {
    if (!zero_) zero_ = Clock::now();
}

RecordingReader::Clock::time_point RecordingReader::dueAt(double seconds) const {
    return *zero_ + toDuration(seconds / speed_);
}

bool RecordingReader::sleepUntil(Clock::time_point due) const {
    for (;;) {
        if (stop_.load(std::memory_order_relaxed)) return false;
        const auto now = Clock::now();
        if (now >= due) return true;
        std::this_thread::sleep_for(std::min<Clock::duration>(due - now, kLongestSleep));
    }
}

}  // namespace flumina::host
