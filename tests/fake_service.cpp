#include "fake_service.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "port_file.h"

FakeService::FakeService() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 4) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("cannot listen on 127.0.0.1 for the fake service");
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
}

FakeService::~FakeService() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
        if (client_ >= 0) ::shutdown(client_, SHUT_RDWR);
    }
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
}

void FakeService::queueReply(std::string line) {
    std::lock_guard<std::mutex> guard(lock_);
    replies_.push_back(std::move(line));
}

std::vector<std::string> FakeService::lines() {
    std::lock_guard<std::mutex> guard(lock_);
    return lines_;
}

bool FakeService::waitForLines(std::size_t count) {
    std::unique_lock<std::mutex> guard(lock_);
    return arrived_.wait_for(guard, std::chrono::seconds(5), [&] { return lines_.size() >= count; });
}

void FakeService::onLine(std::function<void(const std::string&)> hook) {
    std::lock_guard<std::mutex> guard(lock_);
    hook_ = std::move(hook);
}

void FakeService::serve() {
    for (;;) {
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) return;
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (stopping_) {
                ::close(client);
                return;
            }
            client_ = client;
        }
        std::string pending;
        char chunk[4096];
        ssize_t got;
        while ((got = ::recv(client, chunk, sizeof chunk, 0)) > 0) {
            pending.append(chunk, static_cast<std::size_t>(got));
            std::size_t end;
            while ((end = pending.find('\n')) != std::string::npos) {
                std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                std::function<void(const std::string&)> hook;
                std::string reply = R"({"id":null,"result":{},"error":null})";
                {
                    std::lock_guard<std::mutex> guard(lock_);
                    hook = hook_;
                    if (!replies_.empty()) {
                        reply = replies_.front();
                        replies_.pop_front();
                    }
                }
                if (hook) hook(line);
                {
                    std::lock_guard<std::mutex> guard(lock_);
                    lines_.push_back(line);
                }
                arrived_.notify_all();
                reply += '\n';
                if (::send(client, reply.data(), reply.size(), MSG_NOSIGNAL) < 0) break;
            }
        }
        std::lock_guard<std::mutex> guard(lock_);
        client_ = -1;
        ::close(client);
        if (stopping_) return;
    }
}

PortFileGuard::PortFileGuard(const std::string& content) {
    const std::string path = flumina::service::kPortFile;
    std::ifstream in(path, std::ios::binary);
    if (in) {
        std::ostringstream old;
        old << in.rdbuf();
        saved_ = old.str();
    }
    struct stat st {};
    if (::stat("/etc/opt/korvane", &st) != 0) {
        ::mkdir("/etc/opt", 0755);
        createdDir_ = ::mkdir("/etc/opt/korvane", 0755) == 0;
    }
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

PortFileGuard::~PortFileGuard() {
    const std::string path = flumina::service::kPortFile;
    if (saved_) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << *saved_;
    } else {
        ::unlink(path.c_str());
        if (createdDir_) ::rmdir("/etc/opt/korvane");
    }
}
