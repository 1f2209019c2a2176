// The bounds the host holds every session and client to. A request beyond one
// gets an error that names it, and --help prints them from here.
#pragma once

#include <cstddef>

namespace flumina::host {

// Stream entries a session may hold; more would only exhaust the host.
inline constexpr std::size_t kMaxStreamsPerSession = 64;
// Width and height of a frame, in pixels.
inline constexpr int kMaxDimension = 8192;
// Frame rates an output may have (frames a second): slower gives the encoder's
// time base no sense, faster no client pushes.
inline constexpr double kMinFrameRate = 0.1;
inline constexpr double kMaxFrameRate = 240;

// The shared memory the channels of one session may take together.
inline constexpr std::size_t kMaxChannelBytesPerSession = std::size_t{2} << 30;
// Threads one stream's codecs and scaling may each use at most; fewer when streams outnumber cores.
inline constexpr int kMaxCodecThreadsPerStream = 4;
// Streams whose inputs and outputs open at once.
inline constexpr std::size_t kParallelOpens = 8;

// Stream time and memory a live stream's play-out buffer holds at most; the
// bytes cover a second of 4K at 30 fps.
inline constexpr double kPlayoutSeconds = 5;
inline constexpr std::size_t kPlayoutBytes = std::size_t{384} << 20;

// Packets of a stream's recording (--record) that may wait for the disk; more stop the recording.
inline constexpr std::size_t kRecordingBacklogBytes = std::size_t{64} << 20;

// A request line may be this long; a longer one is refused and its connection closed.
inline constexpr std::size_t kMaxRequestBytes = std::size_t{1} << 20;
// Connections served at once; one more is told so and closed.
inline constexpr std::size_t kMaxConnections = 64;

}  // namespace flumina::host
