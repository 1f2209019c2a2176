// Test doubles shared by the native client tests: a line-protocol service on
// loopback, and a guard that points the clients' port file at it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// Accepts connections on 127.0.0.1 (an ephemeral port), one at a time, and
// answers every line it receives with the next queued reply, or with
// {"id":null,"result":{},"error":null} when none is queued.
class FakeService {
public:
    FakeService();
    ~FakeService();
    FakeService(const FakeService&) = delete;
    FakeService& operator=(const FakeService&) = delete;

    int port() const { return port_; }
    // A reply line, without its newline.
    void queueReply(std::string line);
    // Lines received so far, without their newlines.
    std::vector<std::string> lines();
    // Blocks until `count` lines have arrived (at most a few seconds); false on time-out.
    bool waitForLines(std::size_t count);
    // Called on the service thread for every line, before the reply is sent.
    void onLine(std::function<void(const std::string&)> hook);

private:
    void serve();

    int listener_ = -1;
    int port_ = 0;
    int client_ = -1;
    bool stopping_ = false;
    std::mutex lock_;
    std::condition_variable arrived_;
    std::deque<std::string> replies_;
    std::vector<std::string> lines_;
    std::function<void(const std::string&)> hook_;
    std::thread thread_;
};

// Writes a port into /etc/opt/korvane/ap_port for the guard's lifetime and
// restores what was there (or its absence) afterwards.
class PortFileGuard {
public:
    explicit PortFileGuard(const std::string& content);
    ~PortFileGuard();
    PortFileGuard(const PortFileGuard&) = delete;
    PortFileGuard& operator=(const PortFileGuard&) = delete;

private:
    std::optional<std::string> saved_;
    bool createdDir_ = false;
};
