#include "replay_input.h"

#include <cstring>

#include "log.h"
#include "steady_seconds.h"

namespace flumina::host {
namespace {

using Clock = RecordingReader::Clock;

// Parameter sets with start codes, as RTSP and MPEG-TS sources give them; the
// file holds those of H.264 and H.265 as the muxer rewrote them instead.
bool startsWithStartCode(const std::string& bytes) {
    return bytes.compare(0, 3, std::string("\0\0\1", 3)) == 0 || bytes.compare(0, 4, std::string("\0\0\0\1", 4)) == 0;
}

void setExtradata(AVCodecContext& decoder, const std::string& bytes) {
    av_freep(&decoder.extradata);
    decoder.extradata_size = 0;
    decoder.extradata = static_cast<std::uint8_t*>(av_mallocz(bytes.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (decoder.extradata == nullptr) throw std::bad_alloc();
    std::memcpy(decoder.extradata, bytes.data(), bytes.size());
    decoder.extradata_size = static_cast<int>(bytes.size());
}

}  // namespace

ReplayInput::ReplayInput(std::shared_ptr<RecordingReader> recording, double openTimeout, double inputTimeout, int threads)
    : recording_(std::move(recording)), frame_(allocateFrame()), inputTimeout_(inputTimeout) {
    const RecordingReader::Entry* first = recording_->peek();
    if (first == nullptr) {
        // Opened again after the last loss: nothing comes back until the
        // recording ended, and then the stream is over.
        if (const std::optional<double> ended = recording_->endedAt())
            waitToOpen(*ended, openTimeout, logLine("the recording ends ", *ended, " s in"));
        endsForGood_ = true;
        endReason_ = recording_->endText();
        description_ = logLine("replay ", recording_->path(), ": over");
        return;
    }
    if (!first->record.segment) throw std::runtime_error(recording_->path() + ": a connection begins with no record of it");
    segment_ = *first->record.segment;
    // Opened again after a loss: the connection is there once the recorded one was.
    if (recording_->clockRuns())
        waitToOpen(segment_.opened, openTimeout, logLine("it was back ", segment_.opened, " s into the recording"));

    // Decoded as a live input is: without frame threads.
    decoder_ = openDecoder(recording_->parameters(), segment_.timeBase, threads, false, recording_->path(),
                           [this](AVCodecContext& decoder) {
                               // The file describes the first connection; a later one may have come back with other parameters.
                               if (segment_.width > 0 && segment_.height > 0) {
                                   decoder.width = segment_.width;
                                   decoder.height = segment_.height;
                               }
                               if (!segment_.extradata.empty() && !startsWithStartCode(segment_.extradata))
                                   setExtradata(decoder, segment_.extradata);
                           });
    description_ = logLine("replay ", recording_->path(), " of ", segment_.source);
    if (recording_->speed() != 1) description_ += logLine(", at ", recording_->speed(), " times its speed");
}

void ReplayInput::waitToOpen(double seconds, double openTimeout, const std::string& what) {
    const auto due = recording_->dueAt(seconds);
    const auto giveUp = Clock::now() + toDuration(openTimeout);
    if (!recording_->sleepUntil(std::min(due, giveUp))) throw std::runtime_error("the replay stopped");
    if (due > giveUp) throw std::runtime_error("the recorded source is not back yet (" + what + ")");
}

AVFrame* ReplayInput::next() {
    if (!decoder_) return nullptr;
    recording_->startClock();
    return decoding_.next(*decoder_, *frame_);
}

bool ReplayInput::endAt(Clock::time_point at, const std::string& reason) {
    if (recording_->sleepUntil(at)) endReason_ = reason;
    return false;
}

bool ReplayInput::feedDecoder() {
    for (;;) {
        if (loss_) {
            if (!recording_->sleepUntil(recording_->dueAt(loss_->at))) return false;
            if (loss_->failed) throw std::runtime_error(loss_->reason);
            endReason_ = loss_->reason;
            return false;
        }
        RecordingReader::Entry* entry = recording_->peek();
        if (entry == nullptr) {
            endsForGood_ = true;
            const std::optional<double> ended = recording_->endedAt();
            return endAt(ended ? recording_->dueAt(*ended) : Clock::now(), recording_->endText());
        }
        // The next connection began with no loss recorded before it.
        if (entry->record.segment && lastDue_) return endAt(recording_->dueAt(entry->record.segment->opened), kEndOfInput);
        const Clock::time_point due = recording_->dueAt(entry->record.arrival);
        if (inputTimeout_ > 0 && lastDue_ && due - *lastDue_ > toDuration(inputTimeout_)) {
            recording_->skipConnection();
            return endAt(*lastDue_ + toDuration(inputTimeout_), logLine("no packet for ", inputTimeout_, " s"));
        }
        if (!recording_->sleepUntil(due)) return false;  // stopped
        RecordingReader::Entry taken = recording_->take();
        lastDue_ = due;
        loss_ = taken.record.lost;
        AVPacket& packet = *taken.packet;
        av_packet_free_side_data(&packet);
        packet.pts = taken.record.pts.value_or(AV_NOPTS_VALUE);
        packet.dts = taken.record.dts.value_or(AV_NOPTS_VALUE);
        packet.duration = 0;
        if (const std::string& extradata = taken.record.newExtradata; !extradata.empty()) {
            std::uint8_t* data = av_packet_new_side_data(&packet, AV_PKT_DATA_NEW_EXTRADATA, extradata.size());
            if (data == nullptr) throw std::bad_alloc();
            std::memcpy(data, extradata.data(), extradata.size());
        }
        if (decoding_.send(*decoder_, packet)) return true;
    }
}

double ReplayInput::secondsOf(const AVFrame& frame) const {
    const double rate = segment_.frameRate.num > 0 ? av_q2d(segment_.frameRate) : 0;
    const std::optional<double> seconds =
        frameSeconds(frame, segment_.startTime.value_or(0), segment_.timeBase, rate, decoding_.frames());
    return seconds ? *seconds / recording_->speed() : -1;
}

}  // namespace flumina::host
