#include "media_input.h"

#include <cmath>

#include "log.h"
#include "regular_files.h"
#include "url_schemes.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace flumina::host {
namespace {

// A plain file is that file alone: a playlist or reference in it opens nothing more.
int refuseNestedOpen(AVFormatContext*, AVIOContext**, const char* url, int, AVDictionary**) {
    log().line(logLine("a file input opens no other file or URL: refused ", url));
    return AVERROR(EPERM);
}

// Files, and recordings served over HTTP whose length is known (a whole
// file, or a playlist with an end), can wait for the client; everything else
// is a live source whose frames come whether read or not.
bool isRecorded(const std::string& url, const std::string& formatName, const AVFormatContext& format) {
    if (!formatName.empty()) return false;  // a capture device
    const std::string scheme = schemeOf(url);
    if (scheme.empty() || scheme == "file") return true;
    if (scheme == "http" || scheme == "https") return format.duration != AV_NOPTS_VALUE && format.duration > 0;
    return false;
}

}  // namespace

MediaInput::MediaInput(const InputTarget& target, const std::atomic<bool>& stop, double openTimeout)
    : stop_(stop), interrupter_(&stop), packet_(allocatePacket()), frame_(allocateFrame()) {
    try {
        open(target, target.formatName, openTimeout);
    } catch (const AvError&) {
        // A bare H.264/H.265 stream may not probe; the client's codec hint names its demuxer.
        if (target.codecHint.empty() || !target.formatName.empty() || stop.load()) throw;
        log().line(logLine("cannot probe ", target.url, "; trying it as raw ", target.codecHint));
        decoder_.reset();
        format_.reset();
        open(target, target.codecHint, openTimeout);
    }
}

void MediaInput::open(const InputTarget& target, const std::string& formatName, double openTimeout) {
    const AVInputFormat* inputFormat = nullptr;
    if (!formatName.empty()) {
        inputFormat = av_find_input_format(formatName.c_str());
        if (inputFormat == nullptr) throw std::runtime_error("this FFmpeg has no " + formatName + " demuxer");
    }
    DictionaryGuard options;
    if (!target.file.empty()) {
        file_ = std::make_unique<FileIo>(openInputFile(target.file, target.url), FileIo::Mode::Read);
    } else if (target.formatName.empty()) {  // a network input, not a capture device
        av_dict_set(&options.dictionary, "protocol_whitelist", kNetworkProtocols, 0);
        // FLV announces no streams up front, so probing would wait its whole
        // five seconds for an audio stream; its headers come first anyway.
        const std::string scheme = schemeOf(target.url);
        if (scheme == "rtmp" || scheme == "rtmps") av_dict_set(&options.dictionary, "analyzeduration", "1000000", 0);
    }
    // Nothing may throw from here until format_ owns the context.
    AVFormatContext* raw = avformat_alloc_context();
    if (raw == nullptr) throw std::bad_alloc();
    raw->interrupt_callback = interrupter_.callback();
    if (!target.file.empty()) {
        raw->pb = file_->context();
        raw->flags |= AVFMT_FLAG_CUSTOM_IO;
        raw->io_open = refuseNestedOpen;
    }
    interrupter_.arm(openTimeout);
    // On failure avformat_open_input frees the context itself (not a custom reader) and leaves raw null.
    const int opened = avformat_open_input(&raw, target.url.c_str(), inputFormat, &options.dictionary);
    format_.reset(raw);
    avCheck(opened, "cannot open " + target.url);
    avCheck(avformat_find_stream_info(format_.get(), nullptr), "cannot read stream information of " + target.url);

    const AVCodec* codec = nullptr;  // asked for so that only a stream with a decoder is chosen
    streamIndex_ = avCheck(av_find_best_stream(format_.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0),
                           "cannot find a video stream in " + target.url);
    AVStream* stream = format_->streams[streamIndex_];
    recorded_ = !target.file.empty() ||
                isRecorded(target.url, formatName == target.codecHint ? std::string() : formatName, *format_);
    decoder_ = openDecoder(*stream->codecpar, stream->time_base, target.threads, recorded_, target.url);
    interrupter_.disarm();
    inputTimeout_ = recorded_ ? 0 : target.inputTimeout;

    timeBase_ = stream->time_base;
    const AVRational rate = av_guess_frame_rate(format_.get(), stream, nullptr);
    frameRate_ = rate.num > 0 && rate.den > 0 ? av_q2d(rate) : 0;

    const char* pixelFormat = av_get_pix_fmt_name(decoder_->pix_fmt);
    description_ = logLine(target.label, " ", target.url, ": ", decoder_->codec->name, " ", decoder_->width, " x ",
                           decoder_->height, pixelFormat ? std::string(" ") + pixelFormat : std::string(), ", ");
    if (frameRate_ > 0) description_ += logLine(frameRate_, " fps, ");
    description_ += recorded_ ? "recorded" : "live";
    if (!target.codecHint.empty() && target.codecHint != decoder_->codec->name)
        description_ += " (the client's hint said " + target.codecHint + ")";
    setUpright(*stream, target.autorotate);
}

void MediaInput::setUpright(const AVStream& stream, bool autorotate) {
    const auto* matrix =
        reinterpret_cast<const std::int32_t*>(av_stream_get_side_data(&stream, AV_PKT_DATA_DISPLAYMATRIX, nullptr));
    Upright upright = uprightFor(matrix);
    if (upright.filters.empty()) return;
    const std::string turn = upright.degrees == 90    ? "a quarter turn clockwise"
                             : upright.degrees == 270 ? "a quarter turn counter-clockwise"
                             : upright.degrees == 180 ? "half a turn"
                             : upright.degrees != 0   ? logLine(upright.degrees, " degrees clockwise")
                                                      : "flipped";
    if (!autorotate) {
        description_ += ", stored turned: shown as stored (--no-autorotate), upright it is " + turn;
        return;
    }
    description_ += ", turned upright " + turn;
    rotator_ = std::make_unique<FrameRotator>(std::move(upright));
}

FrameSize MediaInput::size() const {
    const FrameSize stored{decoder_->width, decoder_->height};
    return rotator_ ? rotator_->turned(stored) : stored;
}

bool MediaInput::feedDecoder() {
    for (;;) {
        // A live input that sends nothing for inputTimeout_ has gone.
        if (inputTimeout_ > 0) interrupter_.arm(inputTimeout_);
        const int read = av_read_frame(format_.get(), packet_.get());
        if (read < 0) {
            if (inputTimeout_ > 0 && interrupter_.timedOut()) endReason_ = logLine("no packet for ", inputTimeout_, " s");
            else if (read != AVERROR_EOF && !interrupter_.interrupted()) endReason_ = "read error: " + avErrorText(read);
            if (recording_ && !stop_.load()) recorder_->lost(endReason_, false);
            return false;
        }
        if (packet_->stream_index != streamIndex_) {
            av_packet_unref(packet_.get());
            continue;
        }
        if (recording_) recorder_->packet(*packet_);
        if (decoding_.send(*decoder_, *packet_)) return true;
    }
}

AVFrame* MediaInput::next() {
    if (recorder_ && !recording_) {
        recorder_->beginSegment(*format_->streams[streamIndex_], description_);
        recording_ = true;
    }
    try {
        AVFrame* frame = decoding_.next(*decoder_, *frame_);
        if (frame == nullptr) return nullptr;
        return rotator_ ? rotator_->turn(*frame) : frame;
    } catch (const std::exception& e) {
        if (recording_ && !stop_.load()) recorder_->lost(e.what(), true);
        throw;
    }
}

double MediaInput::secondsOf(const AVFrame& frame) const {
    const AVStream* stream = format_->streams[streamIndex_];
    return frameSeconds(frame, stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0, timeBase_, frameRate_,
                        decoding_.frames())
        .value_or(-1);
}

}  // namespace flumina::host
