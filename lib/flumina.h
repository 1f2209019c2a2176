// libflumina: drive the host stream service from a native program.
//
//   Android host;                                   // connects to the service
//   host.start(config, useType);                    // config: JSON array, one object per stream
//   for (;;) {
//       char* frame;
//       long size = host.getRGB(&frame, 0);         // waits for the next decoded frame of stream 0
//       ... work on frame[0 .. size) ...
//       host.pushBuffer(frame, 0);                  // hand a frame of the same size to the encoder
//   }
//
// An Android object serves one thread at a time. Errors of the connection and
// of the JSON library pass out as their own exceptions; a non-null "error" of
// the service's reply is printed to standard error and returned.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <nlohmann/json.hpp>

#define FLUMINA_API __attribute__((visibility("default")))

namespace korvane::ipc {
class AndroidAshmem;
}

namespace flumina::detail {
// What getRGB remembers per stream index between calls.
struct FrameWait {
    bool holding = false;       // a frame was handed out and its ready flag is still set
    std::int64_t beat = 0;      // monotonic ns of a learned frame arrival, 0 if unknown
    std::int64_t interval = 0;  // learned time between frames, ns
    int steadyGaps = 0;         // consecutive arrivals that agreed with the beat
    std::int64_t anchor = 0;    // arrival the rate is measured from
    std::int64_t beatsSinceAnchor = 0;
};
}  // namespace flumina::detail

class FLUMINA_API Android {
public:
    // Reads the port file ("/etc/opt/korvane/ap_port", else port 43329) and
    // connects to 127.0.0.1; throws boost::system::system_error when it can't,
    // naming the address, the port and where the port came from.
    Android();
    Android(const Android&) = delete;
    Android& operator=(const Android&) = delete;

    // The port in the first line of `path`, or -1 (with a message on standard
    // error when the line holds no number or one too large for an int).
    int readPortFromFile(const std::string& path);

    // Attaches the three channels of every element of `params`, sends one
    // request {"id","method","params":[params,a,b]}, reads one reply, starts a
    // heartbeat thread and returns the reply (with "error" null when absent).
    nlohmann::json rpc(const std::string& method, std::string params, int a, int b);
    // rpc("stream", config, useType, 1).
    nlohmann::json start(std::string config, int useType);

    // Waits for the next frame on the input channel of stream `index`, points
    // *frame at its bytes in the channel and returns its byte count.
    //
    // The frame stays valid until the next getRGB on the same index: that call
    // first hands the previous frame's channel back to the host (clears its
    // ready flag), so no frame is returned twice and the host never overwrites
    // one the caller still holds. Copy the bytes if you need them longer.
    // The wait sleeps rather than spins; it learns the interval between frames
    // and wakes shortly before the next one is due. It returns 0, the end of
    // the input, when the host sends the end-of-input frame, and also when the
    // service has closed the connection (looked at about every 100 ms), with
    // one line on standard error. No other time-out.
    long getRGB(char** frame, int index);
    // Writes the size word (the last getRGB's size) and that many bytes of
    // `data` to the push channel of `index`; returns the payload write's status.
    int pushBuffer(char* data, int index);
    // Writes `length` as the size word and `length` bytes of an NV12 image to
    // the push channel of `index`; returns the payload write's status.
    int pushNV12Buffer(char* data, int index, unsigned long length);
    // As pushBuffer, to the display channel of `index`.
    int pushBufferForDisplay(char* data, int index);

    // Channels of every stream index ever attached, in attach order; an index
    // outside them makes the frame operations throw std::out_of_range.
    std::vector<korvane::ipc::AndroidAshmem*> inputChannels;
    std::vector<korvane::ipc::AndroidAshmem*> displayChannels;
    std::vector<korvane::ipc::AndroidAshmem*> pushChannels;
    boost::asio::io_context ioContext;
    boost::asio::ip::tcp::socket socket;
    std::int32_t requestId = 0;
    std::int64_t readyFlag = 0;
    std::int64_t frameSize = 0;
    char* flagWord = nullptr;
    char* sizeWord = nullptr;

private:
    bool frameReady(korvane::ipc::AndroidAshmem* region);
    std::vector<flumina::detail::FrameWait> waits_;
    bool hostGoneReported_ = false;
};

// The heartbeat: rewrites "/tmp/mmkv/info.txt" with 1, 2, ... 10, 0, 1, ...
// once a second, for ever.
FLUMINA_API void keep();
