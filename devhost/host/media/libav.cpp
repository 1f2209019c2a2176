#include "libav.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

#include "log.h"

namespace flumina::host {
namespace {

void libavMessage(void* object, int level, const char* format, va_list args) {
    if (level > AV_LOG_WARNING) return;
    char text[1024];
    int prefix = 1;
    av_log_format_line2(object, level, format, args, text, sizeof text, &prefix);
    std::string line(text);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (!line.empty()) log().line("libav: " + line);
}

}  // namespace

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

void captureLibavMessages() { av_log_set_callback(libavMessage); }

}  // namespace flumina::host
