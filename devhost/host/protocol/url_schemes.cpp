#include "url_schemes.h"

#include <cctype>
#include <cstddef>
#include <stdexcept>

namespace flumina::host {
namespace {

// Input schemes: those FFmpeg opens over the network (rtsp is a demuxer that
// opens tcp, udp and rtp itself), and "file".
constexpr const char* kInputSchemes[] = {"file", "http", "https", "rtsp", "rtsps", "rtmp", "rtmps",
                                         "rtp",  "udp",  "srt",   "tcp",  "replay"};
// A recording of the host's own, opened as the live input it was.
constexpr const char* kReplayPrefix = "replay://";

struct PushMuxer {
    const char* scheme;
    const char* muxer;
};

// The muxer a push destination gets, by its scheme.
constexpr PushMuxer kPushMuxers[] = {{"rtmp", "flv"},   {"rtmps", "flv"},  {"rtsp", "rtsp"}, {"udp", "mpegts"},
                                     {"srt", "mpegts"}, {"tcp", "mpegts"}, {"rtp", "mpegts"}};

// "a, b, c" of the names of `items`.
template <typename Item, std::size_t N, typename NameOf>
std::string listOf(const Item (&items)[N], NameOf nameOf) {
    std::string list;
    for (const Item& item : items) list += (list.empty() ? "" : ", ") + std::string(nameOf(item));
    return list;
}

}  // namespace

std::string servedInputSchemes() {
    return listOf(kInputSchemes, [](const char* scheme) { return scheme; });
}

std::string schemeOf(const std::string& url) {
    // RFC 3986: a letter, then letters, digits, '+', '-' or '.', then ':'.
    if (url.empty() || !std::isalpha(static_cast<unsigned char>(url[0]))) return {};
    std::size_t end = 1;
    while (end < url.size() && (std::isalnum(static_cast<unsigned char>(url[end])) || url[end] == '+' ||
                                url[end] == '-' || url[end] == '.'))
        ++end;
    if (end >= url.size() || url[end] != ':') return {};
    std::string scheme = url.substr(0, end);
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return scheme;
}

std::optional<std::string> plainFilePath(const std::string& url) {
    const std::string scheme = schemeOf(url);
    if (scheme.empty()) return url;
    // As FFmpeg's file protocol reads it: "file:" off, the rest a path ("file:///x" is "///x").
    if (scheme == "file") return url.substr(5);
    return std::nullopt;
}

std::optional<std::string> replayPath(const std::string& url) {
    if (schemeOf(url) != "replay") return std::nullopt;
    return url.substr(std::string(kReplayPrefix).size());
}

void checkInputUrl(const std::string& url) {
    const std::string scheme = schemeOf(url);
    if (scheme.empty()) return;
    if (scheme == "replay" && (url.compare(0, std::string(kReplayPrefix).size(), kReplayPrefix) != 0 ||
                               url.size() == std::string(kReplayPrefix).size()))
        throw std::runtime_error("inputUrl \"" + url + "\" names no recording: replay://PATH, as in replay:///home/me/rec.mkv");
    for (const char* served : kInputSchemes)
        if (scheme == served) return;
    throw std::runtime_error("inputUrl scheme \"" + scheme + "\" is not served (" + servedInputSchemes() + ")");
}

const char* muxerForUrl(const std::string& url) {
    const std::string scheme = schemeOf(url);
    for (const PushMuxer& served : kPushMuxers)
        if (scheme == served.scheme) return served.muxer;
    throw std::runtime_error("cannot push to " + url + ": no muxer for scheme \"" + scheme + "\" (" +
                             listOf(kPushMuxers, [](const PushMuxer& served) { return served.scheme; }) + " are served)");
}

}  // namespace flumina::host
