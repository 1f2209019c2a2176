#include "output_encoder.h"


extern "C" {
#include <libavutil/opt.h>
}

#include "log.h"
#include "url_schemes.h"

namespace flumina::host {
namespace {

const AVCodec* findEncoder(VideoCodec codec) {
    const AVCodec* encoder = avcodec_find_encoder_by_name(codec == VideoCodec::H264 ? "libx264" : "libx265");
    if (encoder == nullptr) encoder = avcodec_find_encoder(codec == VideoCodec::H264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC);
    if (encoder == nullptr)
        throw std::runtime_error(std::string("this FFmpeg has no ") + (codec == VideoCodec::H264 ? "H.264" : "H.265") +
                                 " encoder");
    return encoder;
}

}  // namespace

OutputEncoder::OutputEncoder(const OutputTarget& target, StreamError& errors)
    : target_(target), errors_(errors), interrupter_(target.cancel), packet_(allocatePacket()) {
    if (!target.isUrl) checkOutputFile(target.destination);
    const char* muxerName = target.isUrl ? muxerForUrl(target.destination) : "mp4";
    AVFormatContext* muxer = nullptr;
    avCheck(avformat_alloc_output_context2(&muxer, nullptr, muxerName, target.destination.c_str()),
            std::string("cannot set up the ") + muxerName + " muxer for " + target.destination);
    muxer_.reset(muxer);
    muxer_->interrupt_callback = interrupter_.callback();

    const AVCodec* codec = findEncoder(target.codec);
    encoder_.reset(avcodec_alloc_context3(codec));
    if (!encoder_) throw std::bad_alloc();
    const AVRational rate = av_d2q(target.frameRate, 100000);
    encoder_->width = target.size.width;
    encoder_->height = target.size.height;
    encoder_->pix_fmt = AV_PIX_FMT_YUV420P;
    encoder_->framerate = rate;
    encoder_->time_base = av_inv_q(rate);
    encoder_->gop_size = std::max(1, static_cast<int>(target.frameRate + 0.5));  // a key frame a second
    // No B-frames: a fragmented MP4 has no edit list to hide their delay,
    // and its first frame must show at 0.
    encoder_->max_b_frames = 0;
    encoder_->thread_count = target.threads;
    if (muxer_->oformat->flags & AVFMT_GLOBALHEADER) encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    DictionaryGuard encoderOptions;
    av_dict_set(&encoderOptions.dictionary, "preset", "veryfast", 0);
    if (target.isUrl) av_dict_set(&encoderOptions.dictionary, "tune", "zerolatency", 0);
    if (target.codec == VideoCodec::Hevc) av_dict_set(&encoderOptions.dictionary, "x265-params", "log-level=error", 0);
    avCheck(avcodec_open2(encoder_.get(), codec, &encoderOptions.dictionary),
            logLine("cannot open encoder ", codec->name, " for ", target.size.width, " x ", target.size.height, " at ",
                    target.frameRate, " fps"));

    stream_ = avformat_new_stream(muxer_.get(), nullptr);
    if (stream_ == nullptr) throw std::bad_alloc();
    avCheck(avcodec_parameters_from_context(stream_->codecpar, encoder_.get()), "cannot describe the output stream");
    stream_->time_base = encoder_->time_base;
    stream_->avg_frame_rate = rate;

    if (target.isUrl) {
        interrupter_.arm(target.timeout);
        if (!(muxer_->oformat->flags & AVFMT_NOFILE)) {
            const AVIOInterruptCB callback = interrupter_.callback();
            avCheck(avio_open2(&muxer_->pb, target.destination.c_str(), AVIO_FLAG_WRITE, &callback, nullptr),
                    "cannot open " + target.destination + " for writing");
        }
        writeHeader();
        interrupter_.disarm();
    }
    // From here on only the time-out interrupts: a stopping session still finalises its outputs.
    interrupter_.watch(nullptr);
}

void OutputEncoder::startFile() {
    file_ = openOutputFile(target_.destination);
    writer_ = std::make_unique<FileIo>(std::move(file_.fd), FileIo::Mode::Write);
    muxer_->pb = writer_->context();
    muxer_->flags |= AVFMT_FLAG_CUSTOM_IO;
    writeHeader();
}

void OutputEncoder::writeHeader() {
    DictionaryGuard muxerOptions;
    if (std::string(muxer_->oformat->name) == "rtsp") av_dict_set(&muxerOptions.dictionary, "rtsp_transport", "tcp", 0);
    if (!target_.isUrl) {
        // Fragmented, a fragment a key frame (a second), each written out at
        // once: the file plays while it grows, and all but its last second
        // survives a host that is killed.
        av_dict_set(&muxerOptions.dictionary, "movflags", "frag_keyframe+empty_moov+default_base_moof", 0);
        muxer_->flags |= AVFMT_FLAG_FLUSH_PACKETS;
    }
    const int header = avformat_write_header(muxer_.get(), &muxerOptions.dictionary);
    if (header < 0) {
        if (target_.isUrl && !(muxer_->oformat->flags & AVFMT_NOFILE)) avio_closep(&muxer_->pb);
        avCheck(header, "cannot start writing " + target_.destination);
    }
    headerWritten_ = true;
}

OutputEncoder::~OutputEncoder() {
    try {
        finish();
    } catch (const std::exception& e) {
        errors_.report(logLine("cannot finalise ", target_.destination, ": ", e.what()));
    }
}

void OutputEncoder::fail(const std::string& what) {
    failed_ = true;
    errors_.report(logLine("output ", target_.destination, " stopped: ", what));
}

void OutputEncoder::encode(AVFrame* frame) {
    if (failed_ || finished_) return;
    try {
        interrupter_.arm(target_.timeout);
        if (!headerWritten_) startFile();
        avCheck(avcodec_send_frame(encoder_.get(), frame), "cannot encode");
        drain();
        interrupter_.disarm();
    } catch (const std::exception& e) {
        fail(e.what());
    }
}

void OutputEncoder::drain() {
    for (;;) {
        const int received = avcodec_receive_packet(encoder_.get(), packet_.get());
        if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) return;
        avCheck(received, "cannot encode");
        av_packet_rescale_ts(packet_.get(), encoder_->time_base, stream_->time_base);
        packet_->stream_index = stream_->index;
        // The muxer takes the packet's reference and leaves packet_ blank.
        avCheck(av_interleaved_write_frame(muxer_.get(), packet_.get()), "cannot write to " + target_.destination);
        ++packets_;
    }
}

void OutputEncoder::finish() {
    if (finished_) return;
    finished_ = true;
    interrupter_.arm(target_.timeout);
    std::string problem;
    if (!failed_) {
        try {
            avCheck(avcodec_send_frame(encoder_.get(), nullptr), "cannot flush the encoder");
            drain();
        } catch (const std::exception& e) {
            problem = e.what();
        }
    }
    if (headerWritten_) {
        const int trailer = av_write_trailer(muxer_.get());
        if (trailer < 0 && problem.empty()) problem = "cannot finalise: " + avErrorText(trailer);
    }
    if (target_.isUrl) {
        if (!(muxer_->oformat->flags & AVFMT_NOFILE)) avio_closep(&muxer_->pb);
    } else {
        writer_.reset();
        muxer_->pb = nullptr;
        if (packets_ == 0) removed_ = file_.created ? removeCreatedFile(target_.destination, file_) : !headerWritten_;
    }
    interrupter_.disarm();
    if (!problem.empty()) throw std::runtime_error(problem);
}

}  // namespace flumina::host
