// The URL schemes the host serves: which inputs it opens over the network,
// which of them are plain files, and the muxer a push destination gets.
#pragma once

#include <optional>
#include <string>

namespace flumina::host {

// The scheme of `url` ("rtsp" of "rtsp://cam/1"), empty when it has none (a plain path).
std::string schemeOf(const std::string& url);

// The file an input URL names when it is one ("file:" URL or a plain path), else nullopt.
std::optional<std::string> plainFilePath(const std::string& url);

// The recording a replay://PATH URL names, else nullopt.
std::optional<std::string> replayPath(const std::string& url);

// "file, http, https, ...": the schemes of inputUrl the host opens.
std::string servedInputSchemes();

// Throws std::runtime_error unless `url` has a scheme the host opens inputs with.
void checkInputUrl(const std::string& url);

// FFmpeg's protocol whitelist for network inputs: their own schemes and what they
// open underneath (TLS, RTP over UDP, encrypted playlist segments); never a file.
inline constexpr const char* kNetworkProtocols =
    "http,https,httpproxy,tls,tcp,udp,rtp,srt,rtmp,rtmps,crypto";

// The muxer for a push URL, chosen by its scheme; throws for a scheme nobody serves.
const char* muxerForUrl(const std::string& url);

}  // namespace flumina::host
