#include "flumina.h"

#include <dlfcn.h>
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
#include "channels.h"
#include "frame_wait.h"

using korvane::ipc::AndroidAshmem;
namespace ch = flumina::channels;

namespace {

using AttachFunction = AndroidAshmem* (*)(const std::string&);

AndroidAshmem* attach(const std::string& name) {
    // Looked up at run time so that libflumina does not name the host library
    // among its dependencies. Found once; a miss is looked up again next time.
    static std::atomic<AttachFunction> resolved{nullptr};
    AttachFunction function = resolved.load(std::memory_order_acquire);
    if (function == nullptr) {
        function = reinterpret_cast<AttachFunction>(dlsym(RTLD_DEFAULT, korvane::ipc::kAttachAshmemSymbol));
        if (function == nullptr)
            throw std::runtime_error("cannot attach region " + name +
                                     ": the shared-memory component korvane::ipc::AndroidAshmem::attach_ashmem is "
                                     "not loaded in this process (load the host's region library, or "
                                     "libkorvane_ipc off the device, before starting a session)");
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

std::int32_t decodeWord(const char* bytes) {
    const auto* b = reinterpret_cast<const unsigned char*>(bytes);
    return static_cast<std::int32_t>(std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 |
                                     std::uint32_t{b[3]} << 24);
}

// The acquire half of the handshake: nothing read from the payload after this
// load can be older than the flag.
std::int32_t loadFlagAcquire(const char* flag) {
    if (reinterpret_cast<std::uintptr_t>(flag) % alignof(std::int32_t) == 0)
        return __atomic_load_n(reinterpret_cast<const std::int32_t*>(flag), __ATOMIC_ACQUIRE);
    const std::int32_t value = decodeWord(flag);
    std::atomic_thread_fence(std::memory_order_acquire);
    return value;
}

void encodeWord(char* out, std::int32_t value) {
    const auto u = static_cast<std::uint32_t>(value);
    for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((u >> (8 * i)) & 0xff);
}

int pushFrame(AndroidAshmem* region, std::int64_t frameSize, const char* data, std::size_t payloadOffset) {
    char word[4];
    encodeWord(word, static_cast<std::int32_t>(frameSize));
    region->write_bytes(word, 4, ch::kSizeWordOffset);
    return region->write_bytes(data, static_cast<std::size_t>(frameSize), payloadOffset);
}

}  // namespace

Android::Android() : socket(ioContext) {
    int port = readPortFromFile(ch::kPortFile);
    if (port == -1) port = ch::kDefaultPort;
    boost::asio::ip::tcp::resolver resolver(ioContext);
    const auto endpoints = resolver.resolve(ch::kServiceHost, std::to_string(port));
    boost::asio::connect(socket, endpoints);
}

int Android::readPortFromFile(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) return -1;
    try {
        return std::stoi(line);
    } catch (const std::invalid_argument& e) {
        std::cerr << "Invalid port number in file: " << e.what() << std::endl;
    } catch (const std::out_of_range& e) {
        std::cerr << "Port number out of range in file: " << e.what() << std::endl;
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
    flumina::detail::waitForFrame(wait, [&] { return frameReady(region); });
    region->read_bytes(frame, static_cast<std::size_t>(frameSize), ch::kInputPayloadOffset, 0);
    wait.holding = true;
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
