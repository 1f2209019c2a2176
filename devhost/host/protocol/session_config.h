// The session configuration of a "stream" request, read and checked against its use type.
#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "frame_format.h"
#include "use_types.h"

namespace flumina::host {

struct StreamSpec {
    std::size_t index = 0;
    InputKind kind = InputKind::None;
    std::string url;                    // "inputUrl"
    std::string path;                   // "file_path", as a path of this machine
    int cameraId = -1;                  // "camera_id"
    nlohmann::json usbDeviceId;         // "usbDeviceId", as the client sent it
    std::string codecHint;              // "h264" or "hevc" from "inputFormat", else empty
    std::optional<FrameSize> resize;    // "inputResizeWidth" x "inputResizeHeight"
    std::string outUrl;                 // "outUrl"
    std::string outPath;                // "outPath", as a path of this machine
    std::optional<double> outFrameRate; // "outFrameRate"
    std::optional<FrameSize> outSize;   // "outWidth" x "outHeight"
    std::vector<std::string> deviceProblems;  // paths the device's host could not reach (deviceReachProblem)

    bool hasOutput() const { return !outUrl.empty() || !outPath.empty(); }
};

struct SessionSpec {
    int useType = 0;
    std::vector<StreamSpec> streams;
    nlohmann::json configuration;  // as the client sent it
};

// A configuration the host cannot run; the message names the stream index when there is one.
class ConfigError : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Throws ConfigError saying that stream `index` cannot run, and why.
[[noreturn]] void failStream(std::size_t index, const std::string& reason);

// Reads `configText` (a JSON array, one object per stream) and checks it
// against `useType`; host paths are mapped with `sdcardDir`.
SessionSpec parseSession(const std::string& configText, int useType, const std::string& sdcardDir);

const char* inputKindKey(InputKind kind);

}  // namespace flumina::host
