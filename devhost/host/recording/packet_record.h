// What a recording of a live input keeps beside each packet: when the packet
// arrived, its own time stamps, on the first packet of each connection to the
// source what the source was then, on the last packet before a loss the loss,
// and on the last packet of all when the recording ended. The record rides in the packet's Matroska BlockAdditional (id 1) as
// compact JSON, so that the file stays one Matroska file that players open,
// and a file cut short keeps the records of every packet it holds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "libav.h"

namespace flumina::host {

// One connection to the source, from its opening to its loss.
struct SegmentRecord {
    double opened = 0;                  // seconds since the recording began
    std::string source;                 // the input as the log described it
    std::string codec;                  // the decoder's name ("h264")
    int width = 0, height = 0;
    AVRational timeBase{1, 1};          // of the time stamps below
    std::optional<std::int64_t> startTime;  // what frame times count from
    AVRational frameRate{0, 1};         // 0/1: unknown
    std::string extradata;              // the codec's parameters as the source gave them
};

// How a connection ended.
struct LossRecord {
    double at = 0;           // seconds since the recording began
    std::string reason;      // "end of input", "no packet for 10 s", "read error: ..."
    bool failed = false;     // an error stopped the input, rather than its end
};

struct PacketRecord {
    double arrival = 0;                     // seconds since the recording began
    std::optional<std::int64_t> pts, dts;   // as the source stamped the packet
    std::string newExtradata;               // parameters the source changed with this packet
    std::optional<SegmentRecord> segment;   // on a connection's first packet
    std::optional<LossRecord> lost;         // on its last, when the source was lost after it
    std::optional<double> ended;            // on the recording's last: when the recording ended
};

// Replaces the packet's BlockAdditional with `record`; throws std::bad_alloc.
void attachRecord(AVPacket& packet, const PacketRecord& record);

// The record a packet of a recording carries; throws std::runtime_error when it has
// none or it cannot be read.
PacketRecord recordOf(const AVPacket& packet);

}  // namespace flumina::host
