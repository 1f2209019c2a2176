// Records one stream's live input as it arrives: every packet of its video
// stream unchanged (no decoding, no encoding), each with its arrival time
// (packet_record.h), into one Matroska file, over every connection to the
// source. The decoding thread only queues references to its packets; a
// thread of the recorder's own writes them, so that the recording never holds
// delivery up. A write error, or a disk that falls too far behind, stops the
// recording with one logged error; the stream goes on.
//
// Clusters are closed and written out every half second of arrival time (or
// MiB), so that a host killed outright leaves a file that plays up to then.
// Each packet is written once what follows it is known (its successor, the
// next connection, the end), so that the last packet before a loss carries
// the loss, and the recording's last packet its end.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "file_io.h"
#include "host_limits.h"
#include "libav.h"
#include "packet_record.h"
#include "stream_error.h"

namespace flumina::host {

class StreamRecorder {
public:
    using Clock = std::chrono::steady_clock;

    // Records stream `index` into a new file at `path`, created with the first
    // packet (an existing file is never overwritten); reports to `errors` why it stops.
    StreamRecorder(std::size_t index, std::string path, StreamError& errors);
    // Finishes (see finish()).
    ~StreamRecorder();
    StreamRecorder(const StreamRecorder&) = delete;
    StreamRecorder& operator=(const StreamRecorder&) = delete;

    // Input side, from the thread that reads the source; none of them waits for the disk.
    // A connection to the source begins: its packets come from `stream`, described as `source`.
    void beginSegment(const AVStream& stream, const std::string& source);
    // A packet of that stream has arrived.
    void packet(const AVPacket& packet);
    // The connection is lost: it ended (`failed` false) or an error stopped it.
    void lost(const std::string& reason, bool failed);

    // Writes what waits, finalises the file and logs what it holds. Idempotent.
    void finish();

    const std::string& path() const { return path_; }
    // Why the recording stopped before its end; empty while it goes on or when it ended well.
    std::string failure() const;

private:
    struct Event;
    struct Held;

    void push(Event event);
    // Stops the recording for `reason`, logged once (as an error or a plain line).
    void stop(const std::string& reason, bool error);
    void run();
    void handle(Event& event);
    // Writes the packet held back, if any.
    void writeHeld();
    void open(const AVCodecParameters& parameters);
    void write(Held& held);
    // Closes the open cluster and hands it to the file system.
    void flush();
    void checkWritten(const std::string& operation);
    // Finalises the file when `trailer`, and lets go of it.
    void close(bool trailer);

    const std::size_t index_;
    const std::string name_, path_;
    StreamError& errors_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Event> queue_;
    std::size_t queuedBytes_ = 0;
    bool finishing_ = false;
    std::string failure_;
    std::optional<Clock::time_point> zero_;  // when the first connection began
    double ended_ = 0;                       // when finish() was called, since zero_

    // The writer thread's own.
    std::unique_ptr<FileIo> file_;
    FormatOutputPtr muxer_;
    AVStream* stream_ = nullptr;
    AVCodecID codec_ = AV_CODEC_ID_NONE;
    std::optional<SegmentRecord> pendingSegment_;  // for the next packet
    CodecParametersPtr segmentParameters_;
    AVRational timeBase_{1, 1};                    // of the current connection's time stamps
    std::int64_t fileBase_ = 0, lastFileDts_ = INT64_MIN;
    std::int64_t frameTicks_ = 1;                  // a frame of the current connection, in the file's time base
    std::optional<std::int64_t> firstDts_;         // of the current connection
    std::deque<std::int64_t> recentPresentations_; // of its last packets, in the file's time base
    std::unique_ptr<Held> held_;
    double lastFlush_ = 0;
    std::uint64_t packets_ = 0, bytes_ = 0, flushedBytes_ = 0;
    double lastArrival_ = 0;
    std::thread writer_;
};

}  // namespace flumina::host
