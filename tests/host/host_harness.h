// What the host service tests run: the service itself, clients, FFmpeg's
// command-line tools, and a raw protocol connection. Every wait is bounded.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

using namespace std::chrono_literals;

// A child process; its standard output and error are collected line by line.
class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& argv);
    // Kills the process if it still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int number);
    // The first line containing `fragment`, once it has come; nullopt after `timeout`.
    std::optional<std::string> waitForLine(const std::string& fragment, std::chrono::milliseconds timeout);
    // Exit status (128 + signal when killed), or -1 if it still runs after `timeout`.
    int wait(std::chrono::milliseconds timeout);
    std::vector<std::string> lines();
    std::string output();

private:
    void collect(int fd);

    pid_t pid_ = -1;
    std::optional<int> status_;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    bool closed_ = false;
};

// flumina-host on an ephemeral port, with the given extra options, run by
// `wrapper` (a command that runs the rest of its arguments) when one is given.
class HostProcess {
public:
    explicit HostProcess(std::vector<std::string> options = {}, std::vector<std::string> wrapper = {});
    int port() const { return port_; }
    ChildProcess& process() { return process_; }
    std::optional<std::string> waitForLog(const std::string& fragment, std::chrono::milliseconds timeout = 5s) {
        return process_.waitForLine(fragment, timeout);
    }
    // SIGTERM, then the exit status.
    int stop();
    // Log lines that report an error ("error: ...").
    std::vector<std::string> errors();

private:
    ChildProcess process_;
    int port_ = -1;
};

// One protocol connection to the service.
class LineClient {
public:
    explicit LineClient(int port);
    ~LineClient();
    LineClient(const LineClient&) = delete;
    LineClient& operator=(const LineClient&) = delete;

    void send(const std::string& bytes);
    // The next reply line, without its newline; nullopt when the connection closed or after `timeout`.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout = 5s);
    // Sends `request` as a line and parses the reply; throws when there is none.
    nlohmann::json call(const nlohmann::json& request, std::chrono::milliseconds timeout = 15s);

private:
    int fd_ = -1;
    std::string pending_;
};

// A folder under /tmp removed with its contents at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Runs a command to its end (at most `timeout`); returns its exit status and fills `output`.
int runCommand(const std::vector<std::string>& argv, std::string* output = nullptr,
               std::chrono::milliseconds timeout = 60s);

// A test clip made by the ffmpeg command: a moving test source, H.264 in MP4.
void makeClip(const std::string& path, int frames, int width = 320, int height = 240, int rate = 25);

// Every frame of `path` decoded by the ffmpeg command to packed rgb24 at its own size.
std::vector<unsigned char> decodeWithFfmpeg(const std::string& path);

struct Probe {
    std::string codec;
    int width = 0;
    int height = 0;
    long frames = -1;    // counted by decoding
    bool clean = false;  // the whole file decodes without an error message
};
// What ffprobe finds in the first video stream of `path`.
Probe probe(const std::string& path);

// Whether something listens on TCP 127.0.0.1:`port` (read from /proc/net/tcp).
bool listeningOn(int port);
// A port that was free a moment ago.
int freePort(int type);
