#include "flumina.h"

#include <dlfcn.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <iostream>
#include <istream>
#include <stdexcept>
#include <thread>

#include <boost/asio/connect.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include "android_ashmem.h"
#include "attach_symbol.h"
#include "channel_words.h"
#include "channels.h"
#include "frame_wait.h"
#include "port_file.h"

using korvane::ipc::AndroidAshmem;
namespace ch = flumina::channels;
namespace service = flumina::service;

namespace {

using AttachFunction = AndroidAshmem* (*)(const std::string&);

// The region component: the one already in the process (on the device the
// host application has loaded it), else the library of that soname, which
// the development kit installs on a PC. Null, with dlerror's reason in
// `why`, when neither is there.
AttachFunction findAttach(std::string& why) {
    if (void* found = dlsym(RTLD_DEFAULT, korvane::ipc::kAttachAshmemSymbol))
        return reinterpret_cast<AttachFunction>(found);
    // Never closed: the regions it hands out live as long as the process.
    void* library = dlopen(FLUMINA_REGION_LIBRARY, RTLD_NOW | RTLD_GLOBAL);
    if (library == nullptr) {
        why = dlerror();
        return nullptr;
    }
    if (void* found = dlsym(library, korvane::ipc::kAttachAshmemSymbol))
        return reinterpret_cast<AttachFunction>(found);
    why = std::string(FLUMINA_REGION_LIBRARY) + " has no attach_ashmem";
    return nullptr;
}

AndroidAshmem* attach(const std::string& name) {
    // Looked up at run time so that libflumina does not name the host library
    // among its dependencies. Found once; a miss is looked up again next time.
    static std::atomic<AttachFunction> resolved{nullptr};
    AttachFunction function = resolved.load(std::memory_order_acquire);
    if (function == nullptr) {
        std::string why;
        function = findAttach(why);
        if (function == nullptr)
            throw std::runtime_error("cannot attach region " + name +
                                     ": the shared-memory component korvane::ipc::AndroidAshmem::attach_ashmem is "
                                     "not loaded in this process, and loading it failed (" + why +
                                     "); load the host's region library before starting a session, or on a PC "
                                     "install flumina-devhost");
        resolved.store(function, std::memory_order_release);
    }
    return function(name);
}

AndroidAshmem* channelAt(const std::vector<AndroidAshmem*>& channels, int index, const char* kind) {
    if (index < 0 || static_cast<std::size_t>(index) >= channels.size())
        throw std::out_of_range("stream index " + std::to_string(index) + " has no " + kind + " channel: " +
                                std::to_string(channels.size()) + " stream indices are attached");
    return channels[static_cast<std::size_t>(index)];
}

std::int32_t decodeWord(const char* bytes) { return static_cast<std::int32_t>(ch::loadWord(bytes)); }

// The acquire half of the input channel's handshake (contracts/channels.md).
std::int32_t loadFlagAcquire(const char* flag) {
    if (reinterpret_cast<std::uintptr_t>(flag) % alignof(std::int32_t) == 0)
        return __atomic_load_n(reinterpret_cast<const std::int32_t*>(flag), __ATOMIC_ACQUIRE);
    const std::int32_t value = decodeWord(flag);
    std::atomic_thread_fence(std::memory_order_acquire);
    return value;
}

int pushFrame(AndroidAshmem* region, std::int64_t frameSize, const char* data, std::size_t payloadOffset) {
    char word[4];
    ch::storeWord(word, static_cast<std::uint32_t>(frameSize));
    region->write_bytes(word, 4, ch::kSizeWordOffset);
    return region->write_bytes(data, static_cast<std::size_t>(frameSize), payloadOffset);
}

constexpr std::int64_t kHangUpLookNs = 100'000'000;

// Whether the peer has closed `socket`, without reading from it.
bool connectionClosed(boost::asio::ip::tcp::socket& socket) {
    pollfd look{socket.native_handle(), POLLRDHUP, 0};
    return ::poll(&look, 1, 0) > 0 && (look.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// Where the port came from, for a connect error.
std::string portSource(const service::PortLine& line) {
    const std::string file = service::kPortFile;
    switch (line.kind) {
        case service::PortLine::Kind::Unreadable: return "no port file " + file;
        case service::PortLine::Kind::NoNumber: return "no port number in " + file;
        case service::PortLine::Kind::TooLarge: return "port number out of range in " + file;
        case service::PortLine::Kind::Number: break;
    }
    return line.number == -1 ? file + " says -1" : "from " + file;
}

}  // namespace

Android::Android() : socket(ioContext) {
    int port = readPortFromFile(service::kPortFile);
    if (port == -1) port = service::kDefaultPort;
    boost::asio::ip::tcp::resolver resolver(ioContext);
    try {
        const auto endpoints = resolver.resolve(service::kHost, std::to_string(port));
        boost::asio::connect(socket, endpoints);
    } catch (const boost::system::system_error& e) {
        throw boost::system::system_error(
            e.code(), "cannot connect to the host stream service at " + std::string(service::kHost) + ":" +
                          std::to_string(port) + " (" + portSource(service::readPortLine(service::kPortFile)) +
                          "; is the service running?)");
    }
}

int Android::readPortFromFile(const std::string& path) {
    const service::PortLine line = service::readPortLine(path);
    switch (line.kind) {
        case service::PortLine::Kind::Number: return line.number;
        case service::PortLine::Kind::NoNumber:
            std::cerr << "Invalid port number in file: " << line.problem << std::endl;
            break;
        case service::PortLine::Kind::TooLarge:
            std::cerr << "Port number out of range in file: " << line.problem << std::endl;
            break;
        case service::PortLine::Kind::Unreadable: break;
    }
    return -1;
}

nlohmann::json Android::rpc(const std::string& method, std::string params, int a, int b) {
    const std::int32_t id = requestId++;
    nlohmann::json request = {{"id", id}, {"method", method}, {"params", nlohmann::json::array({params, a, b})}};

    const nlohmann::json config = nlohmann::json::parse(params);
    for (std::size_t i = 0; i < config.size(); ++i) {
        const std::string input = ch::inputChannelName(i);
        std::cout << "rtspString:" << input << std::endl;
        inputChannels.push_back(attach(input));
        displayChannels.push_back(attach(ch::displayChannelName(i)));
        pushChannels.push_back(attach(ch::pushChannelName(i)));
    }

    const std::string line = request.dump() + "\n";
    boost::asio::write(socket, boost::asio::buffer(line));

    boost::asio::streambuf received;
    boost::asio::read_until(socket, received, "\n");
    std::istream stream(&received);
    nlohmann::json response;
    stream >> response;

    nlohmann::json& error = response["error"];
    if (!error.is_null()) std::cerr << error << std::endl;

    std::ofstream(ch::kHeartbeatFile, std::ios::out | std::ios::trunc);
    std::thread(keep).detach();
    return response;
}

nlohmann::json Android::start(std::string config, int useType) { return rpc("stream", config, useType, 1); }

bool Android::frameReady(AndroidAshmem* region) {
    region->read_bytes(&sizeWord, 4, ch::kSizeWordOffset, 0);
    frameSize = decodeWord(sizeWord);
    region->read_bytes(&flagWord, 4, ch::kReadyFlagOffset, 0);
    readyFlag = loadFlagAcquire(flagWord);
    if (readyFlag != 1) return false;
    frameSize = decodeWord(sizeWord);  // again, now ordered after the flag
    return true;
}

long Android::getRGB(char** frame, int index) {
    AndroidAshmem* region = channelAt(inputChannels, index, "input");
    if (waits_.size() < inputChannels.size()) waits_.resize(inputChannels.size());
    flumina::detail::FrameWait& wait = waits_[static_cast<std::size_t>(index)];

    if (wait.holding) {
        // Hand the previous frame's channel back; the host may now refill it.
        // The fence keeps the caller's reads of that frame ahead of the clear,
        // whatever ordering the host's region component gives its writes.
        std::atomic_thread_fence(std::memory_order_release);
        char zero[4] = {};
        region->write_bytes(zero, 4, ch::kReadyFlagOffset);
        wait.holding = false;
    }
    // The wait also looks, now and then, whether the service has closed the
    // connection: a host that is gone sends no end-of-input frame.
    std::int64_t nextLook = flumina::detail::nowNs() + kHangUpLookNs;
    bool hostGone = false;
    flumina::detail::waitForFrame(wait, [&] {
        if (frameReady(region)) return true;
        const std::int64_t now = flumina::detail::nowNs();
        if (now < nextLook) return false;
        nextLook = now + kHangUpLookNs;
        hostGone = connectionClosed(socket);
        return hostGone;
    });
    if (hostGone) {
        if (!hostGoneReported_)
            std::cerr << "getRGB: the host stream service has closed the connection; stream " << index
                      << " ends here" << std::endl;
        hostGoneReported_ = true;
        frameSize = 0;
    } else {
        wait.holding = true;
    }
    region->read_bytes(frame, static_cast<std::size_t>(frameSize), ch::kInputPayloadOffset, 0);
    readyFlag = 0;
    return static_cast<long>(frameSize);
}

int Android::pushBuffer(char* data, int index) {
    return pushFrame(channelAt(pushChannels, index, "push"), frameSize, data, ch::kPushPayloadOffset);
}

int Android::pushNV12Buffer(char* data, int index, unsigned long length) {
    // The size word tells the host an NV12 image from an RGB one.
    return pushFrame(channelAt(pushChannels, index, "push"), static_cast<std::int64_t>(length), data,
                     ch::kPushPayloadOffset);
}

int Android::pushBufferForDisplay(char* data, int index) {
    return pushFrame(channelAt(displayChannels, index, "display"), frameSize, data, ch::kDisplayPayloadOffset);
}

void keep() {
    int counter = 0;
    for (;;) {
        std::ofstream file(ch::kHeartbeatFile, std::ios::out | std::ios::trunc);
        counter = counter > 9 ? 0 : counter + 1;
        if (file) {
            file << counter;
            file.close();
        } else {
            std::cout << ch::kHeartbeatFile << " not opened" << std::endl;
        }
        sleep(1);
    }
}
