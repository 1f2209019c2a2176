// A native client for the host service tests: starts one session through
// libflumina and runs the getRGB loop on stream 0.
//
//   host_session_client CONFIG USE_TYPE [--frames FILE] [--push] [--show] [--max-frames N] [--read-refused]
//
// Prints the reply as "reply: ..." and then "frame N SIZE" per frame, flushed,
// so that a test can follow (and kill) it; "end" when the host signals the end
// of the input (getRGB returns 0), and "frames: N" last. A refused session
// ends it with status 1, unless --read-refused makes it read all the same.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

#include "flumina.h"

int main(int argc, char** argv) {
    if (argc < 3 || std::strcmp(argv[1], "--help") == 0) {
        std::cerr << "usage: host_session_client CONFIG USE_TYPE [--frames FILE] [--push] [--show] [--max-frames N] "
                     "[--read-refused]\n";
        return argc < 3 ? 2 : 0;
    }
    const std::string config = argv[1];
    const int useType = std::atoi(argv[2]);
    std::ofstream frames;
    bool push = false, show = false, readRefused = false;
    long maxFrames = -1;
    for (int i = 3; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--frames" && i + 1 < argc) frames.open(argv[++i], std::ios::binary);
        else if (arg == "--push") push = true;
        else if (arg == "--show") show = true;
        else if (arg == "--read-refused") readRefused = true;
        else if (arg == "--max-frames" && i + 1 < argc) maxFrames = std::atol(argv[++i]);
        else {
            std::cerr << "host_session_client: unknown argument " << arg << "\n";
            return 2;
        }
    }

    Android host;
    const nlohmann::json reply = host.start(config, useType);
    std::cout << "reply: " << reply.dump() << std::endl;
    if (!reply["error"].is_null() && !readRefused) return 1;

    long count = 0;
    while (maxFrames < 0 || count < maxFrames) {
        char* frame = nullptr;
        const long size = host.getRGB(&frame, 0);
        if (size == 0) {
            std::cout << "end" << std::endl;
            break;
        }
        if (frames.is_open()) frames.write(frame, size);
        if (push) host.pushBuffer(frame, 0);
        if (show) host.pushBufferForDisplay(frame, 0);
        std::cout << "frame " << ++count << " " << size << std::endl;
    }
    std::cout << "frames: " << count << std::endl;
    return 0;
}
