// Ownership and error checking for the FFmpeg handles the host service uses.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <memory>
#include <stdexcept>
#include <string>

#include "frame_format.h"

namespace flumina::host {

struct FormatInputCloser {
    void operator()(AVFormatContext* p) const noexcept { avformat_close_input(&p); }
};
// An output context owns its AVIOContext once opened; closing it is the muxer's job (see OutputEncoder).
struct FormatOutputFreer {
    void operator()(AVFormatContext* p) const noexcept { avformat_free_context(p); }
};
struct CodecContextFreer {
    void operator()(AVCodecContext* p) const noexcept { avcodec_free_context(&p); }
};
struct FrameFreer {
    void operator()(AVFrame* p) const noexcept { av_frame_free(&p); }
};
struct PacketFreer {
    void operator()(AVPacket* p) const noexcept { av_packet_free(&p); }
};
struct SwsFreer {
    void operator()(SwsContext* p) const noexcept { sws_freeContext(p); }
};
struct CodecParametersFreer {
    void operator()(AVCodecParameters* p) const noexcept { avcodec_parameters_free(&p); }
};

// Options for an open call, which takes the ones it uses out of the dictionary.
struct DictionaryGuard {
    AVDictionary* dictionary = nullptr;
    DictionaryGuard() = default;
    DictionaryGuard(const DictionaryGuard&) = delete;
    DictionaryGuard& operator=(const DictionaryGuard&) = delete;
    ~DictionaryGuard() { av_dict_free(&dictionary); }
};

using FormatInputPtr = std::unique_ptr<AVFormatContext, FormatInputCloser>;
using FormatOutputPtr = std::unique_ptr<AVFormatContext, FormatOutputFreer>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFreer>;
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;
using SwsPtr = std::unique_ptr<SwsContext, SwsFreer>;
using CodecParametersPtr = std::unique_ptr<AVCodecParameters, CodecParametersFreer>;

// A failed libav call, with the operation and libav's own text.
class AvError : public std::runtime_error {
public:
    AvError(const std::string& operation, int code);
};

// libav's text for an error code ("Connection refused", "Invalid data found when processing input").
std::string avErrorText(int code);

// Returns `result` when it is not negative; throws AvError naming `operation` otherwise.
int avCheck(int result, const std::string& operation);

FramePtr allocateFrame();

// The pixel format of the channels' 3-byte frames.
inline AVPixelFormat rgbFormatOf(PixelOrder order) { return order == PixelOrder::Rgb ? AV_PIX_FMT_RGB24 : AV_PIX_FMT_BGR24; }

// Routes FFmpeg's own warnings and errors through the log.
void captureLibavMessages();
PacketPtr allocatePacket();

}  // namespace flumina::host
