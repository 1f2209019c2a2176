// Notices when the clients' heartbeat file stops changing.
#pragma once

#include <chrono>
#include <string>

namespace flumina::host {

class HeartbeatWatch {
public:
    explicit HeartbeatWatch(std::string path) : path_(std::move(path)) {}

    // A session starts: it has the whole time-out from now.
    void restart();
    // Seconds since the file last changed (its time stamp, size or text), or since restart().
    double secondsSinceChange();

private:
    std::string signature() const;

    std::string path_;
    std::string last_;
    std::chrono::steady_clock::time_point changed_ = std::chrono::steady_clock::now();
};

}  // namespace flumina::host
