#include "host_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace {

std::runtime_error systemError(const std::string& what) { return std::runtime_error(what + ": " + std::strerror(errno)); }

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw systemError("cannot make a pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const int spawned = ::posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (spawned != 0) {
        ::close(pipeFds[0]);
        errno = spawned;
        throw systemError("cannot start " + argv[0]);
    }
    reader_ = std::thread([this, fd = pipeFds[0]] { collect(fd); });
}

ChildProcess::~ChildProcess() {
    if (wait(0ms) == -1) {
        ::kill(pid_, SIGKILL);
        wait(10s);
    }
    if (reader_.joinable()) reader_.join();
}

void ChildProcess::collect(int fd) {
    std::string partial;
    char chunk[4096];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        partial.append(chunk, static_cast<std::size_t>(got));
        std::size_t end;
        while ((end = partial.find('\n')) != std::string::npos) {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(partial.substr(0, end));
            partial.erase(0, end + 1);
            changed_.notify_all();
        }
    }
    ::close(fd);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!partial.empty()) lines_.push_back(partial);
    closed_ = true;
    changed_.notify_all();
}

void ChildProcess::signal(int number) {
    if (!status_) ::kill(pid_, number);
}

std::optional<std::string> ChildProcess::waitForLine(const std::string& fragment, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::optional<std::string> found;
    changed_.wait_for(lock, timeout, [&] {
        for (const std::string& line : lines_)
            if (line.find(fragment) != std::string::npos) {
                found = line;
                return true;
            }
        return closed_;
    });
    if (!found)
        for (const std::string& line : lines_)
            if (line.find(fragment) != std::string::npos) found = line;
    return found;
}

int ChildProcess::wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!status_) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(10ms);
    }
    if (reader_.joinable()) {
        // The pipe closes once the process and anything it started have gone.
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, 5s, [&] { return closed_; });
    }
    return *status_;
}

std::vector<std::string> ChildProcess::lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

std::string ChildProcess::output() {
    std::string all;
    for (const std::string& line : lines()) all += line + "\n";
    return all;
}

HostProcess::HostProcess(std::vector<std::string> options, std::vector<std::string> wrapper)
    : process_([&] {
          std::vector<std::string> argv = std::move(wrapper);
          argv.insert(argv.end(), {FLUMINA_HOST_BIN, "--port", "0"});
          argv.insert(argv.end(), options.begin(), options.end());
          return argv;
      }()) {
    const std::optional<std::string> line = process_.waitForLine("listening on 127.0.0.1:", 10s);
    if (!line) throw std::runtime_error("flumina-host did not start:\n" + process_.output());
    port_ = std::stoi(line->substr(line->rfind(':') + 1));
}

int HostProcess::stop() {
    process_.signal(SIGTERM);
    return process_.wait(15s);
}

std::vector<std::string> HostProcess::errors() {
    std::vector<std::string> found;
    for (const std::string& line : process_.lines())
        if (line.find("error: ") != std::string::npos || line.find("ERROR") != std::string::npos) found.push_back(line);
    return found;
}

LineClient::LineClient(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw systemError("cannot make a socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw systemError("cannot connect to 127.0.0.1:" + std::to_string(port));
}

LineClient::~LineClient() { ::close(fd_); }

void LineClient::send(const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw systemError("cannot send");
        sent += static_cast<std::size_t>(n);
    }
}

std::optional<std::string> LineClient::readLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const std::size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left <= 0ms) return std::nullopt;
        pollfd watch{fd_, POLLIN, 0};
        if (::poll(&watch, 1, static_cast<int>(left.count())) <= 0) continue;
        char chunk[65536];
        const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
        if (got <= 0) return std::nullopt;
        pending_.append(chunk, static_cast<std::size_t>(got));
    }
}

nlohmann::json LineClient::call(const nlohmann::json& request, std::chrono::milliseconds timeout) {
    send(request.dump() + "\n");
    const std::optional<std::string> line = readLine(timeout);
    if (!line) throw std::runtime_error("no reply to " + request.dump());
    return nlohmann::json::parse(*line);
}

TempDir::TempDir() {
    char pattern[] = "/tmp/flumina-host-test.XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw systemError("cannot make a temporary folder");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

int runCommand(const std::vector<std::string>& argv, std::string* output, std::chrono::milliseconds timeout) {
    ChildProcess child(argv);
    const int status = child.wait(timeout);
    if (output != nullptr) *output = child.output();
    return status;
}

void makeClip(const std::string& path, int frames, int width, int height, int rate) {
    std::string output;
    const std::string source = "testsrc2=size=" + std::to_string(width) + "x" + std::to_string(height) +
                               ":rate=" + std::to_string(rate);
    const int status = runCommand({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", source, "-frames:v",
                                   std::to_string(frames), "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt",
                                   "yuv420p", "-movflags", "+faststart", path},
                                  &output);
    if (status != 0) throw std::runtime_error("cannot make the test clip " + path + ":\n" + output);
}

std::vector<unsigned char> decodeWithFfmpeg(const std::string& path) {
    const std::string raw = path + ".rgb";
    std::string output;
    if (runCommand({"ffmpeg", "-v", "error", "-y", "-i", path, "-f", "rawvideo", "-pix_fmt", "rgb24", raw}, &output) != 0)
        throw std::runtime_error("ffmpeg cannot decode " + path + ":\n" + output);
    std::ifstream in(raw, std::ios::binary);
    return std::vector<unsigned char>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

Probe probe(const std::string& path) {
    Probe result;
    std::string output;
    if (runCommand({"ffprobe", "-v", "error", "-select_streams", "v:0", "-count_frames", "-show_entries",
                    "stream=codec_name,width,height,nb_read_frames", "-of", "json", path},
                   &output) != 0)
        return result;
    const auto start = output.find('{');
    if (start == std::string::npos) return result;
    const nlohmann::json info = nlohmann::json::parse(output.substr(start), nullptr, false);
    if (info.is_discarded() || info["streams"].empty()) return result;
    const nlohmann::json& stream = info["streams"][0];
    result.codec = stream.value("codec_name", "");
    result.width = stream.value("width", 0);
    result.height = stream.value("height", 0);
    if (stream.contains("nb_read_frames")) result.frames = std::stol(stream["nb_read_frames"].get<std::string>());
    std::string errors;
    result.clean = runCommand({"ffmpeg", "-v", "error", "-i", path, "-f", "null", "-"}, &errors) == 0 && errors.empty();
    return result;
}

bool listeningOn(int port) {
    std::ifstream tcp("/proc/net/tcp");
    std::string line;
    char wanted[16];
    std::snprintf(wanted, sizeof wanted, ":%04X", port);
    while (std::getline(tcp, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (state == "0A" && local.size() > 5 && local.substr(local.size() - 5) == wanted) return true;
    }
    return false;
}

int freePort(int type) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}
