// libflumina against a fake service on loopback and a fake region component
// that records every call.
#include <dlfcn.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "android_ashmem.h"
#include "fake_service.h"
#include "flumina.h"
#include "frame_wait.h"

using korvane::ipc::AndroidAshmem;

namespace {

struct Call {
    std::string op;  // "read" or "write"
    std::size_t length;
    std::size_t offset;
};

// A region in process memory; records its calls. Word-aligned storage, as a
// real mapping would be.
class FakeRegion final : public AndroidAshmem {
public:
    explicit FakeRegion(std::string name) : name(std::move(name)), words_(kBytes / 4 + 1) {}
    void read_bytes(char** out, std::size_t length, std::size_t offset, int flag) override {
        EXPECT_EQ(flag, 0);
        record({"read", length, offset});
        *out = bytes() + offset;
    }
    std::int8_t write_bytes(const char* data, std::size_t length, std::size_t offset) override {
        record({"write", length, offset});
        if (offset + length > kBytes) return -1;
        std::memcpy(bytes() + offset, data, length);
        return 7;  // a status the client must pass on unexamined
    }
    char* bytes() { return reinterpret_cast<char*>(words_.data()); }
    std::int32_t word(std::size_t offset) {
        return __atomic_load_n(reinterpret_cast<std::int32_t*>(bytes() + offset), __ATOMIC_ACQUIRE);
    }
    void setWord(std::size_t offset, std::int32_t value) {
        __atomic_store_n(reinterpret_cast<std::int32_t*>(bytes() + offset), value, __ATOMIC_RELEASE);
    }
    std::vector<Call> calls() {
        std::lock_guard<std::mutex> guard(lock_);
        return calls_;
    }
    void clearCalls() {
        std::lock_guard<std::mutex> guard(lock_);
        calls_.clear();
    }

    static constexpr std::size_t kBytes = 8 + 640 * 480 * 3;
    const std::string name;

private:
    void record(Call call) {
        std::lock_guard<std::mutex> guard(lock_);
        calls_.push_back(std::move(call));
    }
    std::mutex lock_;
    std::vector<Call> calls_;
    std::vector<std::uint32_t> words_;
};

std::mutex attachLock;
std::vector<std::string> attachedNames;
std::vector<std::unique_ptr<FakeRegion>> attachedRegions;

std::vector<std::string> attached() {
    std::lock_guard<std::mutex> guard(attachLock);
    return attachedNames;
}

FakeRegion* fake(AndroidAshmem* region) { return static_cast<FakeRegion*>(region); }

}  // namespace

// The fake component, found by libflumina in this executable at run time.
AndroidAshmem* AndroidAshmem::attach_ashmem(const std::string& name) {
    std::lock_guard<std::mutex> guard(attachLock);
    attachedNames.push_back(name);
    attachedRegions.push_back(std::make_unique<FakeRegion>(name));
    return attachedRegions.back().get();
}

namespace {

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::mkdir("/tmp/mmkv", 0755);
        port_ = std::make_unique<PortFileGuard>(std::to_string(service.port()) + "\n");
        std::lock_guard<std::mutex> guard(attachLock);
        attachedNames.clear();
    }
    void TearDown() override { port_.reset(); }

    FakeService service;

private:
    std::unique_ptr<PortFileGuard> port_;
};

std::string temporaryFile(const std::string& content) {
    static int counter = 0;
    const std::string path = "/tmp/flumina_client_test_" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

TEST_F(ClientTest, ReadsThePortFileAsStoiWouldAndReportsBadNumbers) {
    Android host;
    struct Case {
        const char* content;
        int port;
        const char* message;
    };
    const Case cases[] = {
        {"", -1, ""},
        {"-1\n", -1, ""},
        {"\n43000", -1, "Invalid port number in file: stoi\n"},
        {"  8080abc\nrest", 8080, ""},
        {"abc", -1, "Invalid port number in file: stoi\n"},
        {"12345678901", -1, "Port number out of range in file: stoi\n"},
        {"700000", 700000, ""},  // no check against the TCP range
    };
    for (const Case& c : cases) {
        const std::string path = temporaryFile(c.content);
        testing::internal::CaptureStderr();
        EXPECT_EQ(host.readPortFromFile(path), c.port) << "file holding '" << c.content << "'";
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message) << "file holding '" << c.content << "'";
        ::unlink(path.c_str());
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(host.readPortFromFile("/nonexistent/ap_port"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(ConnectTest, TheErrorNamesTheAddressThePortAndWhereThePortCameFrom) {
    int port;
    {
        FakeService gone;  // a port that was free a moment ago
        port = gone.port();
    }
    const PortFileGuard file(std::to_string(port) + "\n");
    try {
        Android host;
        ADD_FAILURE() << "connected to a closed port";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), boost::asio::error::connection_refused);
        EXPECT_EQ(std::string(e.what()), "cannot connect to the host stream service at 127.0.0.1:" +
                                             std::to_string(port) +
                                             " (from /etc/opt/korvane/ap_port; is the service running?): " +
                                             e.code().message());
    }
}

TEST_F(ClientTest, SendsTheExactFirstRequestAndCountsIds) {
    Android host;
    testing::internal::CaptureStdout();
    const nlohmann::json reply = host.start("[]", 2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "no channel, no rtspString line";
    ASSERT_TRUE(service.waitForLines(1));
    EXPECT_EQ(service.lines()[0], R"({"id":0,"method":"stream","params":["[]",2,1]})");
    EXPECT_TRUE(attached().empty());
    EXPECT_TRUE(reply.at("error").is_null());

    // A configuration that is no JSON throws before anything is sent, and uses up its id.
    EXPECT_THROW(host.rpc("stream", "[", 2, 1), nlohmann::json::parse_error);
    host.rpc("searchUSB", "null", 0, 0);
    ASSERT_TRUE(service.waitForLines(2));
    EXPECT_EQ(service.lines()[1], R"({"id":2,"method":"searchUSB","params":["null",0,0]})");
    EXPECT_EQ(host.requestId, 3);
}

TEST_F(ClientTest, AttachesEveryChannelBeforeTheRequestLeaves) {
    std::vector<std::string> attachedWhenSent;
    service.onLine([&](const std::string&) { attachedWhenSent = attached(); });
    Android host;
    testing::internal::CaptureStdout();
    host.start(R"([{"inputUrl":"rtsp://a"},{"inputUrl":"rtsp://b \"q\" \\"}])", 8);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "rtspString:/tmp/mmkv/tmp_ipc_rtsp0\nrtspString:/tmp/mmkv/tmp_ipc_rtsp1\n");
    const std::vector<std::string> order = {
        "/tmp/mmkv/tmp_ipc_rtsp0", "/tmp/mmkv/tmp_ipc_display_0", "/tmp/mmkv/tmp_ipc_es_rtsp0",
        "/tmp/mmkv/tmp_ipc_rtsp1", "/tmp/mmkv/tmp_ipc_display_1", "/tmp/mmkv/tmp_ipc_es_rtsp1"};
    EXPECT_EQ(attached(), order);
    EXPECT_EQ(attachedWhenSent, order);
    EXPECT_EQ(dlopen(REGION_LIBRARY, RTLD_NOW | RTLD_NOLOAD), nullptr) << "the component in the process serves alone";
    // The configuration travels as one JSON string, quotes and backslashes escaped.
    EXPECT_NE(service.lines()[0].find(R"(rtsp://b \\\"q\\\" \\\\)"), std::string::npos) << service.lines()[0];

    // A second session on the same object appends its own channels.
    testing::internal::CaptureStdout();
    host.start(R"([{},{}])", 8);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(host.inputChannels.size(), 4u);
    EXPECT_EQ(host.displayChannels.size(), 4u);
    EXPECT_EQ(host.pushChannels.size(), 4u);
    EXPECT_NE(host.inputChannels[2], host.inputChannels[0]);
    EXPECT_EQ(fake(host.pushChannels[3])->name, "/tmp/mmkv/tmp_ipc_es_rtsp1");
}

TEST_F(ClientTest, CountsStreamIndicesOfAnyJsonValue) {
    Android host;
    testing::internal::CaptureStdout();
    host.start(R"({"a":1,"b":2,"c":3})", 8);
    EXPECT_EQ(host.inputChannels.size(), 3u);
    host.start("42", 8);
    host.start(R"("text")", 8);
    EXPECT_EQ(host.inputChannels.size(), 5u);
    host.start("null", 8);
    EXPECT_EQ(host.inputChannels.size(), 5u);
    testing::internal::GetCapturedStdout();
}

TEST_F(ClientTest, HandlesEveryReplyShape) {
    Android host;
    service.queueReply(R"({"id":0,"result":{"content":{"rgbwidth":640}}})");
    nlohmann::json reply = host.start("[]", 2);
    EXPECT_TRUE(reply.contains("error"));
    EXPECT_TRUE(reply["error"].is_null());
    EXPECT_EQ(reply["result"]["content"]["rgbwidth"], 640);

    service.queueReply("null");
    reply = host.start("[]", 2);
    EXPECT_EQ(reply, nlohmann::json::parse(R"({"error":null})"));

    service.queueReply(R"({"id":2,"result":null,"error":"cannot open \"x\""})");
    testing::internal::CaptureStderr();
    reply = host.start("[]", 2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "\"cannot open \\\"x\\\"\"\n");
    EXPECT_EQ(reply["error"], "cannot open \"x\"");

    service.queueReply("[1,2]");
    EXPECT_THROW(host.start("[]", 2), nlohmann::json::type_error);
}

TEST_F(ClientTest, TruncatesTheHeartbeatFileOnEveryReply) {
    std::ofstream("/tmp/mmkv/info.txt") << "stale";
    Android host;
    host.start("[]", 2);
    EXPECT_NE(readFile("/tmp/mmkv/info.txt"), "stale");
}

class FrameTest : public ClientTest {
protected:
    void SetUp() override {
        ClientTest::SetUp();
        host = std::make_unique<Android>();
        testing::internal::CaptureStdout();
        host->start("[{},{}]", 8);
        testing::internal::GetCapturedStdout();
    }
    FakeRegion* input(int i) { return fake(host->inputChannels[i]); }
    FakeRegion* push(int i) { return fake(host->pushChannels[i]); }
    FakeRegion* display(int i) { return fake(host->displayChannels[i]); }
    // What the host does: size word, payload, then the flag.
    void deliver(int index, std::int32_t size, char fill, std::int32_t flag = 1) {
        std::memset(input(index)->bytes() + 8, fill, static_cast<std::size_t>(size));
        input(index)->setWord(0, size);
        input(index)->setWord(4, flag);
    }

    std::unique_ptr<Android> host;
};

TEST_F(FrameTest, WaitsForAFlagOfExactlyOne) {
    deliver(0, 16, 'a', 2);
    char* frame = nullptr;
    auto result = std::async(std::launch::async, [&] { return host->getRGB(&frame, 0); });
    EXPECT_EQ(result.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout)
        << "a flag of 2 counts as no frame";
    input(0)->setWord(4, 1);
    ASSERT_EQ(result.wait_for(std::chrono::seconds(3)), std::future_status::ready);
    EXPECT_EQ(result.get(), 16);
    EXPECT_EQ(frame, input(0)->bytes() + 8) << "the frame is handed out in place";
    EXPECT_EQ(host->frameSize, 16);
    EXPECT_EQ(host->readyFlag, 0);
}

TEST_F(FrameTest, AFrameOfSizeZeroIsAZeroLengthRead) {
    deliver(1, 0, 'x');
    input(1)->clearCalls();
    char* frame = nullptr;
    EXPECT_EQ(host->getRGB(&frame, 1), 0);
    const auto calls = input(1)->calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().op, "read");
    EXPECT_EQ(calls.back().length, 0u);
    EXPECT_EQ(calls.back().offset, 8u);
}

TEST_F(FrameTest, HandsThePreviousFrameBackBeforeWaitingAgain) {
    char* frame = nullptr;
    deliver(0, 4, 'a');
    deliver(1, 4, 'b');
    ASSERT_EQ(host->getRGB(&frame, 0), 4);
    EXPECT_EQ(input(0)->word(4), 1) << "the flag stays set while the caller holds the frame";
    ASSERT_EQ(host->getRGB(&frame, 1), 4);
    EXPECT_EQ(input(0)->word(4), 1) << "another index leaves it alone";

    // The next call on index 0 clears its flag, then waits for a new frame.
    auto next = std::async(std::launch::async, [&] { return host->getRGB(&frame, 0); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (input(0)->word(4) != 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    EXPECT_EQ(input(0)->word(4), 0);
    EXPECT_EQ(next.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout)
        << "the same frame is never handed out twice";
    deliver(0, 8, 'c');
    ASSERT_EQ(next.wait_for(std::chrono::seconds(3)), std::future_status::ready);
    EXPECT_EQ(next.get(), 8);
    EXPECT_EQ(frame[7], 'c');
}

TEST_F(FrameTest, PushesWriteTheLastFrameSizeAtTheirOffsets) {
    constexpr std::int32_t kFrame = 640 * 480 * 3;
    std::vector<char> data(kFrame, 'p');

    // Before any getRGB the size is 0: a zero size word and no payload.
    EXPECT_EQ(host->pushBuffer(data.data(), 0), 7);
    EXPECT_EQ(push(0)->word(0), 0);
    EXPECT_EQ(push(0)->bytes()[8], 0);

    char* frame = nullptr;
    deliver(0, kFrame, 'f');
    ASSERT_EQ(host->getRGB(&frame, 0), kFrame);
    push(1)->clearCalls();
    EXPECT_EQ(host->pushBuffer(data.data(), 1), 7) << "the payload write's status is passed on";
    const auto calls = push(1)->calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].length, 4u);
    EXPECT_EQ(calls[0].offset, 0u);
    EXPECT_EQ(calls[1].length, static_cast<std::size_t>(kFrame));
    EXPECT_EQ(calls[1].offset, 8u);
    EXPECT_EQ(push(1)->word(0), kFrame);
    EXPECT_EQ(push(1)->bytes()[8 + kFrame - 1], 'p');

    EXPECT_EQ(host->pushBufferForDisplay(data.data(), 0), 7);
    EXPECT_EQ(display(0)->word(0), kFrame);
    EXPECT_EQ(display(0)->bytes()[4], 'p');
    EXPECT_EQ(display(0)->bytes()[4 + kFrame - 1], 'p');

    // NV12 writes its own length as the size word (how the host tells it
    // from RGB), then its payload at 8.
    push(0)->clearCalls();
    EXPECT_EQ(host->pushNV12Buffer(data.data(), 0, 640 * 480 * 3 / 2), 7);
    ASSERT_EQ(push(0)->calls().size(), 2u);
    EXPECT_EQ(push(0)->calls()[1].offset, 8u);
    EXPECT_EQ(push(0)->calls()[1].length, 640u * 480 * 3 / 2);
    EXPECT_EQ(push(0)->word(0), 640 * 480 * 3 / 2);
    EXPECT_EQ(host->frameSize, kFrame) << "an NV12 push leaves the frame size of getRGB alone";
}

TEST_F(FrameTest, RefusesStreamIndicesOutsideTheAttachedChannels) {
    char* frame = nullptr;
    char data[4] = {};
    EXPECT_THROW(host->getRGB(&frame, 2), std::out_of_range);
    EXPECT_THROW(host->getRGB(&frame, -1), std::out_of_range);
    EXPECT_THROW(host->pushBuffer(data, 2), std::out_of_range);
    EXPECT_THROW(host->pushNV12Buffer(data, -1, 4), std::out_of_range);
    EXPECT_THROW(host->pushBufferForDisplay(data, 9), std::out_of_range);
}

// The learned beat: what decides whether getRGB may sleep until the next frame.
TEST(FrameWaitTest, LocksOnToTheBeatAndKeepsItAcrossLateAndDroppedFrames) {
    using flumina::detail::FrameWait;
    using flumina::detail::learnArrival;
    constexpr std::int64_t beat = 33'333'333;
    FrameWait w;
    std::int64_t t = 1'000'000'000;
    for (int i = 0; i < 6; ++i, t += beat) learnArrival(w, t);
    t -= beat;
    EXPECT_EQ(w.interval, beat);
    EXPECT_EQ(w.steadyGaps, 4);
    EXPECT_EQ(w.beat, t);

    // One frame 4 ms late moves the beat halfway, and the rate barely.
    learnArrival(w, t + beat + 4'000'000);
    EXPECT_EQ(w.beat, t + beat + 2'000'000);
    EXPECT_NEAR(static_cast<double>(w.interval), beat, 1'000'000.0);
    t += beat;

    // Frames dropped on the way: a few beats later, still the same rate.
    for (int i = 0; i < 10; ++i) learnArrival(w, t += 3 * beat);
    EXPECT_EQ(w.steadyGaps, 15);
    EXPECT_NEAR(static_cast<double>(w.interval), beat, 100'000.0);

    // Half a beat off: a new rate, learned again from scratch.
    learnArrival(w, t += beat + beat / 2);
    EXPECT_EQ(w.steadyGaps, 0);
    for (int i = 0; i < 6; ++i) learnArrival(w, t += beat / 2);
    EXPECT_NEAR(static_cast<double>(w.interval), beat / 2.0, 10'000.0);
    EXPECT_GE(w.steadyGaps, 3);

    // A gap of minutes is no rate.
    learnArrival(w, t + 600'000'000'000);
    EXPECT_EQ(w.interval, 0);
    EXPECT_EQ(w.steadyGaps, 0);
}

}  // namespace
