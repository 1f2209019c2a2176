#include "session_config.h"

#include <cmath>

#include "host_paths.h"
#include "host_limits.h"
#include "log.h"
#include "url_schemes.h"

namespace flumina::host {
namespace {

using nlohmann::json;

// A number as the clients may send it: a JSON number, or its decimal text.
std::optional<double> numberOf(const json& value) {
    if (value.is_number()) return value.get<double>();
    if (value.is_string()) {
        const std::string& text = value.get_ref<const std::string&>();
        std::size_t used = 0;
        try {
            const double parsed = std::stod(text, &used);
            if (used == text.size()) return parsed;
        } catch (const std::exception&) {
        }
    }
    return std::nullopt;
}

int dimension(const json& entry, std::size_t index, const char* key) {
    const std::optional<double> value = numberOf(entry.at(key));
    if (!value || *value != std::floor(*value) || *value < 1 || *value > kMaxDimension)
        failStream(index, std::string(key) + " must be a whole number from 1 to " + std::to_string(kMaxDimension) +
                              ", not " + entry.at(key).dump());
    return static_cast<int>(*value);
}

std::optional<FrameSize> sizePair(const json& entry, std::size_t index, const char* widthKey, const char* heightKey) {
    const bool hasWidth = entry.contains(widthKey), hasHeight = entry.contains(heightKey);
    if (!hasWidth && !hasHeight) return std::nullopt;
    if (hasWidth != hasHeight)
        failStream(index, std::string(hasWidth ? widthKey : heightKey) + " is given without " +
                              (hasWidth ? heightKey : widthKey));
    return FrameSize{dimension(entry, index, widthKey), dimension(entry, index, heightKey)};
}

std::string stringValue(const json& entry, std::size_t index, const char* key) {
    const json& value = entry.at(key);
    if (!value.is_string() || value.get_ref<const std::string&>().empty())
        failStream(index, std::string(key) + " must be a non-empty string, not " + value.dump());
    return value.get<std::string>();
}

// The local path of `key`'s host path, noting when the device could not reach it.
std::string hostPath(const json& entry, StreamSpec& stream, const char* key, const std::string& sdcardDir) {
    const std::string value = stringValue(entry, stream.index, key);
    std::string problem = deviceReachProblem(key, value);
    if (!problem.empty()) stream.deviceProblems.push_back(std::move(problem));
    return localPath(value, sdcardDir);
}

void readInput(const json& entry, StreamSpec& stream, const std::string& sdcardDir) {
    const std::size_t index = stream.index;
    static const char* const keys[] = {"inputUrl", "camera_id", "usbDeviceId", "file_path"};
    std::string found;
    for (const char* key : keys) {
        if (!entry.contains(key)) continue;
        if (!found.empty()) failStream(index, "more than one input: " + found + " and " + key);
        found = key;
    }
    if (found.empty()) {
        stream.kind = InputKind::None;
    } else if (found == "inputUrl") {
        stream.kind = InputKind::Network;
        stream.url = stringValue(entry, index, "inputUrl");
        try {
            checkInputUrl(stream.url);
        } catch (const std::exception& e) {
            failStream(index, e.what());
        }
    } else if (found == "file_path") {
        stream.kind = InputKind::File;
        stream.path = hostPath(entry, stream, "file_path", sdcardDir);
    } else if (found == "camera_id") {
        stream.kind = InputKind::Camera;
        const json& id = entry.at("camera_id");
        const std::optional<double> number = id.is_boolean() ? std::optional<double>(id.get<bool>()) : numberOf(id);
        if (!number || *number != std::floor(*number) || *number < 0 || *number > 255)
            failStream(index, "camera_id must be a camera index from 0 to 255, not " + id.dump());
        stream.cameraId = static_cast<int>(*number);
    } else {
        stream.kind = InputKind::UsbCamera;
        stream.usbDeviceId = entry.at("usbDeviceId");
    }

    // A codec hint means something for network streams only; elsewhere it is ignored.
    if (stream.kind == InputKind::Network && entry.contains("inputFormat")) {
        const json& format = entry.at("inputFormat");
        if (format == "video/avc") stream.codecHint = "h264";
        else if (format == "video/hevc") stream.codecHint = "hevc";
        else
            failStream(index, "unknown codec " + format.dump() +
                                  " in inputFormat (expected \"video/avc\" or \"video/hevc\")");
    }
}

void readOutput(const json& entry, StreamSpec& stream, const std::string& sdcardDir) {
    const std::size_t index = stream.index;
    if (entry.contains("outUrl")) {
        stream.outUrl = stringValue(entry, index, "outUrl");
        if (stream.outUrl.find("://") == std::string::npos)
            failStream(index, "outUrl \"" + stream.outUrl + "\" is not a URL (scheme://...)");
        try {
            muxerForUrl(stream.outUrl);
        } catch (const std::exception& e) {
            failStream(index, e.what());
        }
    }
    if (entry.contains("outPath")) stream.outPath = hostPath(entry, stream, "outPath", sdcardDir);
    if (entry.contains("outFrameRate")) {
        const std::optional<double> rate = numberOf(entry.at("outFrameRate"));
        if (!rate || !(*rate >= kMinFrameRate && *rate <= kMaxFrameRate))
            failStream(index, logLine("outFrameRate must be a number from ", kMinFrameRate, " to ", kMaxFrameRate, ", not ",
                                      entry.at("outFrameRate").dump()));
        stream.outFrameRate = *rate;
    }
    stream.outSize = sizePair(entry, index, "outWidth", "outHeight");
    if (!stream.hasOutput()) return;
    if (!stream.outFrameRate) failStream(index, "an output needs outFrameRate");
    if (!stream.outSize) failStream(index, "an output needs outWidth and outHeight");
    if (stream.outSize->width % 2 != 0 || stream.outSize->height % 2 != 0)
        failStream(index, "outWidth and outHeight must be even for the encoder, not " +
                              std::to_string(stream.outSize->width) + " x " + std::to_string(stream.outSize->height));
}

bool hasTrait(const StreamSpec& stream, Trait trait) {
    switch (trait) {
        case Trait::Output: return stream.hasOutput();
        case Trait::Push: return !stream.outUrl.empty();
        case Trait::Save: return !stream.outPath.empty();
        case Trait::Size: return stream.resize.has_value();
    }
    return false;
}

// How a refusal names a trait: what a use type needs, and what it takes no part of.
struct TraitWords {
    const char* needs;
    const char* takesNo;
};
constexpr TraitWords kTraitWords[kTraits] = {
    {"an outUrl or outPath on every stream", "outUrl or outPath"},
    {"an outUrl on every stream", "outUrl"},
    {"an outPath on every stream", "outPath"},
    {"inputResizeWidth and inputResizeHeight", "inputResizeWidth and inputResizeHeight"},
};

// The one other use type of `type`'s input that takes streams with `trait`; 0 when none or several do.
int otherTaking(const UseType& type, Trait trait) {
    int found = 0;
    for (const UseType& other : kUseTypes) {
        if (other.value == type.value || other.input != type.input) continue;
        if (other.rule(trait) == Rule::Refused || other.rule(Trait::Output) == Rule::Refused) continue;
        if (found != 0) return 0;
        found = other.value;
    }
    return found;
}

// What the use type's rules ask of every stream, besides its kind of input.
void checkAgainstUseType(const StreamSpec& stream, const UseType& rule) {
    const std::size_t index = stream.index;
    const std::string type = "use type " + std::to_string(rule.value) + " (" + rule.meaning + ")";
    if (stream.kind != rule.input) {
        const std::string has = stream.kind == InputKind::None ? "no input" : inputKindKey(stream.kind);
        const std::string wants = rule.input == InputKind::None ? "no input" : std::string("a ") + inputKindKey(rule.input);
        failStream(index, type + " needs " + wants + ", the entry has " + has);
    }
    for (std::size_t t = 0; t < kTraits; ++t) {
        const auto trait = static_cast<Trait>(t);
        const bool has = hasTrait(stream, trait);
        if (rule.rule(trait) == Rule::Required && !has) failStream(index, type + " needs " + kTraitWords[t].needs);
        if (rule.rule(trait) == Rule::Refused && has) {
            const int other = otherTaking(rule, trait);
            failStream(index, type + " takes no " + kTraitWords[t].takesNo +
                                  (other != 0 ? " (that is use type " + std::to_string(other) + ")" : ""));
        }
    }
}

// Two streams saving to one file, or one saving over another's input, would spoil both.
void checkOutputsApart(const std::vector<StreamSpec>& streams) {
    for (const StreamSpec& stream : streams) {
        if (stream.outPath.empty()) continue;
        for (const StreamSpec& other : streams) {
            if (other.kind == InputKind::File && other.path == stream.outPath)
                failStream(stream.index,
                           "outPath " + stream.outPath + " is the input of stream " + std::to_string(other.index));
            if (other.index < stream.index && other.outPath == stream.outPath)
                failStream(stream.index,
                           "outPath " + stream.outPath + " is stream " + std::to_string(other.index) + "'s outPath too");
        }
    }
}

}  // namespace

void failStream(std::size_t index, const std::string& reason) {
    throw ConfigError("stream " + std::to_string(index) + ": " + reason);
}

const char* inputKindKey(InputKind kind) {
    switch (kind) {
        case InputKind::Network: return "inputUrl";
        case InputKind::Camera: return "camera_id";
        case InputKind::UsbCamera: return "usbDeviceId";
        case InputKind::File: return "file_path";
        case InputKind::None: break;
    }
    return "no input";
}

SessionSpec parseSession(const std::string& configText, int useType, const std::string& sdcardDir) {
    json config;
    try {
        config = json::parse(configText);
    } catch (const json::exception& e) {  // a syntax error, or a number too large (1e999)
        throw ConfigError(std::string("session configuration is not valid JSON: ") + e.what());
    }
    if (!config.is_array()) throw ConfigError("session configuration must be a JSON array of stream objects, not " +
                                              std::string(config.type_name()) + "");
    if (config.empty()) throw ConfigError("session configuration holds no stream");
    if (config.size() > kMaxStreamsPerSession)
        throw ConfigError("session configuration holds " + std::to_string(config.size()) + " streams; at most " +
                          std::to_string(kMaxStreamsPerSession) + " run at once");
    const UseType* rule = findUseType(useType);
    if (rule == nullptr) throw ConfigError("unknown use type " + std::to_string(useType) + " (expected 1 to 9)");

    SessionSpec session;
    session.useType = useType;
    session.configuration = config;
    for (std::size_t index = 0; index < config.size(); ++index) {
        const json& entry = config[index];
        if (!entry.is_object()) failStream(index, "entry must be a JSON object, not " + std::string(entry.type_name()));
        StreamSpec stream;
        stream.index = index;
        readInput(entry, stream, sdcardDir);
        stream.resize = sizePair(entry, index, "inputResizeWidth", "inputResizeHeight");
        readOutput(entry, stream, sdcardDir);
        checkAgainstUseType(stream, *rule);
        session.streams.push_back(std::move(stream));
    }
    checkOutputsApart(session.streams);
    return session;
}

}  // namespace flumina::host
