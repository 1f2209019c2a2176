#include "packet_decoding.h"

#include "log.h"

namespace flumina::host {

CodecContextPtr openDecoder(const AVCodecParameters& parameters, AVRational timeBase, int threads, bool frameThreads,
                            const std::string& source, const std::function<void(AVCodecContext&)>& adjust) {
    const AVCodec* codec = avcodec_find_decoder(parameters.codec_id);
    if (codec == nullptr)
        throw std::runtime_error("no decoder for codec " + std::string(avcodec_get_name(parameters.codec_id)) + " of " +
                                 source);
    CodecContextPtr decoder(avcodec_alloc_context3(codec));
    if (!decoder) throw std::bad_alloc();
    avCheck(avcodec_parameters_to_context(decoder.get(), &parameters), "cannot set up the decoder");
    if (adjust) adjust(*decoder);
    decoder->thread_count = threads;
    decoder->thread_type = frameThreads ? FF_THREAD_FRAME | FF_THREAD_SLICE : FF_THREAD_SLICE;
    decoder->pkt_timebase = timeBase;
    avCheck(avcodec_open2(decoder.get(), codec, nullptr), std::string("cannot open decoder ") + codec->name);
    if (decoder->width <= 0 || decoder->height <= 0) throw std::runtime_error("cannot tell the frame size of " + source);
    return decoder;
}

std::optional<double> frameSeconds(const AVFrame& frame, std::int64_t start, AVRational timeBase, double rate,
                                   long frames) {
    if (frame.best_effort_timestamp != AV_NOPTS_VALUE)
        return static_cast<double>(frame.best_effort_timestamp - start) * av_q2d(timeBase);
    if (rate > 0) return static_cast<double>(frames - 1) / rate;
    return std::nullopt;
}

AVFrame* PacketDecoding::next(AVCodecContext& decoder, AVFrame& frame) {
    for (;;) {
        const int received = avcodec_receive_frame(&decoder, &frame);
        if (received == 0) {
            ++frames_;
            return &frame;
        }
        if (received == AVERROR_EOF) return nullptr;
        if (received != AVERROR(EAGAIN)) avCheck(received, "cannot decode");
        if (flushing_) return nullptr;
        if (!feed_()) {
            // Drain the frames the decoder still holds.
            flushing_ = true;
            avCheck(avcodec_send_packet(&decoder, nullptr), "cannot flush the decoder");
        }
    }
}

bool PacketDecoding::send(AVCodecContext& decoder, AVPacket& packet) {
    const int sent = avcodec_send_packet(&decoder, &packet);
    av_packet_unref(&packet);
    if (sent >= 0 || sent == AVERROR(EAGAIN)) return true;
    // A damaged packet of a network stream is no reason to stop; say so a few times.
    if (++refused_ <= 3) log().line(logLine("skipping a packet the decoder refuses: ", avErrorText(sent)));
    return false;
}

}  // namespace flumina::host
