// passthrough: the annotate loop in C++, without the drawing. Registers a
// video as a network stream with a frame size and a save destination, waits
// for every decoded frame with getRGB and hands it straight back to the
// encoder with pushBuffer.
//
//   passthrough --input URL --output PATH [--size WIDTHxHEIGHT] [--fps N] [--frames N]
//
// It ends when the host signals the end of the input (getRGB returns 0) or
// after --frames frames. Off the device the region component comes from
// libkorvane_ipc, which this program links; on the device the host has it loaded.
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "flumina.h"
#include "userland.h"

namespace {

std::string absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return path;
    return std::string(cwd) + "/" + path;
}

// A path as the host sees it; "/sdcard" is the same in both views.
std::string hostPath(const std::string& path) {
    if (path.compare(0, 7, flumina::userland::kSharedFolder) == 0) return path;
    return flumina::userland::kPrefix + absolute(path);
}

int usage(const char* problem) {
    if (problem != nullptr) std::cerr << "passthrough: " << problem << "\n";
    std::cerr << "usage: passthrough --input URL --output PATH [--size WIDTHxHEIGHT] [--fps N] [--frames N]\n";
    return problem != nullptr ? 2 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string input, output;
    int width = 640, height = 360;
    double fps = 25;
    long maxFrames = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "-h" || arg == "--help") return usage(nullptr);
        if (!hasValue) return usage(("missing value of " + arg).c_str());
        const char* value = argv[++i];
        if (arg == "--input") input = value;
        else if (arg == "--output") output = value;
        else if (arg == "--size" && std::sscanf(value, "%dx%d", &width, &height) == 2) continue;
        else if (arg == "--fps") fps = std::atof(value);
        else if (arg == "--frames") maxFrames = std::atol(value);
        else return usage(("bad argument " + arg + " " + value).c_str());
    }
    if (input.empty() || output.empty()) return usage("--input and --output are needed");
    if (input.find("://") == std::string::npos) input = "file://" + absolute(input);

    const nlohmann::json config = nlohmann::json::array({{{"inputUrl", input},
                                                          {"inputResizeWidth", width},
                                                          {"inputResizeHeight", height},
                                                          {"outPath", hostPath(output)},
                                                          {"outFrameRate", fps},
                                                          {"outWidth", width},
                                                          {"outHeight", height}}});
    Android host;
    const nlohmann::json reply = host.start(config.dump(), 3);  // network streams saved to files
    if (!reply["error"].is_null()) return 1;

    long frames = 0;
    const auto started = std::chrono::steady_clock::now();
    while (maxFrames < 0 || frames < maxFrames) {
        char* frame = nullptr;
        if (host.getRGB(&frame, 0) == 0) break;  // end of the input
        host.pushBuffer(frame, 0);
        if (++frames % 50 == 0) {
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            std::cout << "passthrough: " << frames << " frames, " << frames / seconds << " fps" << std::endl;
        }
    }
    std::cout << "passthrough: done, " << frames << " frames" << std::endl;
    return 0;
}
