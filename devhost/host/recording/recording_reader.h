// A recording made with --record (stream_recorder.h), read back in order with
// the record of each packet, and the clock it is replayed on. One reader
// serves every connection of a replay (replay_input.h) in turn, so that a
// connection opened again after a recorded loss goes on where the last ended.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "file_io.h"
#include "libav.h"
#include "packet_record.h"

namespace flumina::host {

class RecordingReader {
public:
    using Clock = std::chrono::steady_clock;

    struct Entry {
        PacketPtr packet;  // as recorded, in the file's time stamps and framing
        PacketRecord record;
    };

    // Opens the recording at `path` (a regular file), replayed `speed` times as
    // fast as it was recorded; waits give up once `stop` is set. Throws
    // std::runtime_error when it is no recording.
    RecordingReader(std::string path, double speed, const std::atomic<bool>& stop);

    // The next packet, left in place; null at the end of the recording.
    Entry* peek();
    // Takes the packet peek() returned.
    Entry take();
    // Passes over the packets up to the next connection's first.
    void skipConnection();
    // How the recording ended: at its end, or cut short where the file stops.
    const std::string& endText() const { return endText_; }
    // When the recording ended, once its last packet is taken; unknown for one cut short.
    std::optional<double> endedAt() const { return endedAt_; }
    // Starts the replay clock, unless it runs already.
    void startClock();
    bool clockRuns() const { return zero_.has_value(); }
    // When the recording's second `seconds` is due on the replay clock (which must run).
    Clock::time_point dueAt(double seconds) const;
    // Sleeps until `due`; false when `stop` was set first.
    bool sleepUntil(Clock::time_point due) const;

    const std::string& path() const { return path_; }
    double speed() const { return speed_; }
    // The recorded stream as the file describes it: codec and first parameters.
    const AVCodecParameters& parameters() const { return *format_->streams[streamIndex_]->codecpar; }

private:
    void readNext();

    const std::string path_;
    const double speed_;
    const std::atomic<bool>& stop_;
    std::unique_ptr<FileIo> file_;
    FormatInputPtr format_;
    int streamIndex_ = -1;
    std::optional<Entry> next_;
    std::string endText_;
    std::optional<double> endedAt_;
    std::optional<Clock::time_point> zero_;
};

}  // namespace flumina::host
