#include "libav.h"

extern "C" {
#include <libavutil/error.h>
}

namespace flumina::host {

std::string avErrorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

AvError::AvError(const std::string& operation, int code) : std::runtime_error(operation + ": " + avErrorText(code)) {}

int avCheck(int result, const std::string& operation) {
    if (result < 0) throw AvError(operation, result);
    return result;
}

FramePtr allocateFrame() {
    FramePtr frame(av_frame_alloc());
    if (!frame) throw std::bad_alloc();
    return frame;
}

PacketPtr allocatePacket() {
    PacketPtr packet(av_packet_alloc());
    if (!packet) throw std::bad_alloc();
    return packet;
}

}  // namespace flumina::host
