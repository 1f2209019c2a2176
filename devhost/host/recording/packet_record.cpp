#include "packet_record.h"

#include <cmath>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include <nlohmann/json.hpp>

extern "C" {
#include <libavutil/base64.h>
#include <libavutil/intreadwrite.h>
}

namespace flumina::host {
namespace {

using nlohmann::json;

// Matroska's codec-specific BlockAdditional; the id comes first, 8 bytes big-endian.
constexpr std::uint64_t kBlockAddId = 1;
constexpr std::size_t kIdBytes = 8;

// Times are whole microseconds in the record.
std::int64_t micros(double seconds) { return std::llround(seconds * 1e6); }
double seconds(const json& micros) { return static_cast<double>(micros.get<std::int64_t>()) / 1e6; }

std::string base64Of(const std::string& bytes) {
    std::vector<char> text(AV_BASE64_SIZE(bytes.size()));
    if (av_base64_encode(text.data(), static_cast<int>(text.size()), reinterpret_cast<const uint8_t*>(bytes.data()),
                         static_cast<int>(bytes.size())) == nullptr)
        throw std::runtime_error("cannot encode codec parameters");
    return text.data();
}

std::string bytesOf(const std::string& base64) {
    std::string bytes(AV_BASE64_DECODE_SIZE(base64.size()), '\0');
    const int size = av_base64_decode(reinterpret_cast<uint8_t*>(bytes.data()), base64.c_str(), static_cast<int>(bytes.size()));
    if (size < 0) throw std::runtime_error("codec parameters are not base64");
    bytes.resize(static_cast<std::size_t>(size));
    return bytes;
}

json rational(AVRational value) { return json::array({value.num, value.den}); }
AVRational rationalOf(const json& value) { return {value.at(0).get<int>(), value.at(1).get<int>()}; }

json optionalNumber(const std::optional<std::int64_t>& value) { return value ? json(*value) : json(nullptr); }
std::optional<std::int64_t> optionalOf(const json& value) {
    if (value.is_null()) return std::nullopt;
    return value.get<std::int64_t>();
}

json toJson(const PacketRecord& record) {
    json out = {{"at", micros(record.arrival)}, {"pts", optionalNumber(record.pts)}, {"dts", optionalNumber(record.dts)}};
    if (!record.newExtradata.empty()) out["extradata"] = base64Of(record.newExtradata);
    if (const auto& segment = record.segment) {
        out["segment"] = {{"opened", micros(segment->opened)},
                          {"source", segment->source},
                          {"codec", segment->codec},
                          {"width", segment->width},
                          {"height", segment->height},
                          {"timeBase", rational(segment->timeBase)},
                          {"startTime", optionalNumber(segment->startTime)},
                          {"frameRate", rational(segment->frameRate)},
                          {"extradata", base64Of(segment->extradata)}};
    }
    if (const auto& lost = record.lost)
        out["lost"] = {{"at", micros(lost->at)}, {"reason", lost->reason}, {"failed", lost->failed}};
    if (record.ended) out["ended"] = micros(*record.ended);
    return out;
}

PacketRecord fromJson(const json& in) {
    PacketRecord record;
    record.arrival = seconds(in.at("at"));
    record.pts = optionalOf(in.at("pts"));
    record.dts = optionalOf(in.at("dts"));
    if (in.contains("extradata")) record.newExtradata = bytesOf(in.at("extradata").get<std::string>());
    if (in.contains("segment")) {
        const json& s = in.at("segment");
        SegmentRecord& segment = record.segment.emplace();
        segment.opened = seconds(s.at("opened"));
        segment.source = s.at("source").get<std::string>();
        segment.codec = s.at("codec").get<std::string>();
        segment.width = s.at("width").get<int>();
        segment.height = s.at("height").get<int>();
        segment.timeBase = rationalOf(s.at("timeBase"));
        segment.startTime = optionalOf(s.at("startTime"));
        segment.frameRate = rationalOf(s.at("frameRate"));
        segment.extradata = bytesOf(s.at("extradata").get<std::string>());
        if (segment.timeBase.num <= 0 || segment.timeBase.den <= 0) throw std::runtime_error("a time base is not positive");
    }
    if (in.contains("lost")) {
        const json& l = in.at("lost");
        record.lost = LossRecord{seconds(l.at("at")), l.at("reason").get<std::string>(), l.at("failed").get<bool>()};
    }
    if (in.contains("ended")) record.ended = seconds(in.at("ended"));
    return record;
}

}  // namespace

void attachRecord(AVPacket& packet, const PacketRecord& record) {
    const std::string text = toJson(record).dump();
    av_packet_free_side_data(&packet);
    std::uint8_t* data = av_packet_new_side_data(&packet, AV_PKT_DATA_MATROSKA_BLOCKADDITIONAL, kIdBytes + text.size());
    if (data == nullptr) throw std::bad_alloc();
    AV_WB64(data, kBlockAddId);
    std::memcpy(data + kIdBytes, text.data(), text.size());
}

PacketRecord recordOf(const AVPacket& packet) {
    std::size_t size = 0;
    const std::uint8_t* data = av_packet_get_side_data(&packet, AV_PKT_DATA_MATROSKA_BLOCKADDITIONAL, &size);
    if (data == nullptr || size <= kIdBytes || AV_RB64(data) != kBlockAddId)
        throw std::runtime_error("a packet carries no arrival record: this is no recording of flumina-host");
    try {
        return fromJson(json::parse(data + kIdBytes, data + size));
    } catch (const json::exception& e) {
        throw std::runtime_error(std::string("a packet's arrival record cannot be read: ") + e.what());
    }
}

}  // namespace flumina::host
