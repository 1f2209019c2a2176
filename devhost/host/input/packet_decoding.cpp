#include "packet_decoding.h"

#include "log.h"

namespace flumina::host {

AVFrame* PacketDecoding::next(AVCodecContext& decoder, AVFrame& frame) {
    for (;;) {
        const int received = avcodec_receive_frame(&decoder, &frame);
        if (received == 0) return &frame;
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
