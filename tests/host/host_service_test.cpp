// flumina-host end to end: the service process, the native client library in
// a client process, and FFmpeg's command-line tools as media source, receiver
// and judge.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <system_error>

#include <gtest/gtest.h>

#include "../fake_service.h"
#include "channels.h"
#include "userland.h"
#include "host_harness.h"
#include "shm_region.h"

using nlohmann::json;

namespace {

constexpr int kClipFrames = 30;
constexpr std::size_t kClipFrameBytes = 320 * 240 * 3;

// As the Python client writes a path of its userland for the host.
std::string hostPath(const std::string& path) { return std::string(flumina::userland::kPrefix) + path; }

json streamRequest(LineClient& client, const json& config, int useType, std::chrono::milliseconds timeout = 15s) {
    return client.call({{"id", 0}, {"method", "stream"}, {"params", {config.dump(), useType, 1}}}, timeout);
}

// The reply's error holds `fragment`.
void expectRefusal(const json& reply, const std::string& fragment) {
    ASSERT_TRUE(reply["error"].is_string()) << reply.dump();
    EXPECT_NE(reply["error"].get<std::string>().find(fragment), std::string::npos) << reply.dump();
}

std::string contentOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A server on 127.0.0.1 that takes connections and never answers them.
class SilentServer {
public:
    SilentServer() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd_, 4) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            const int error = errno;
            if (fd_ >= 0) ::close(fd_);
            throw std::system_error(error, std::generic_category(), "cannot listen on 127.0.0.1");
        }
        port_ = ntohs(address.sin_port);
    }
    ~SilentServer() {
        for (const int connection : taken_) ::close(connection);
        ::close(fd_);
    }
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;

    int port() const { return port_; }
    // Whether a connection comes within `timeout`; it is kept open, unanswered.
    bool take(std::chrono::milliseconds timeout) {
        pollfd ready{fd_, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(timeout.count())) != 1) return false;
        const int connection = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) return false;
        taken_.push_back(connection);
        return true;
    }
    // Takes the connections made so far.
    void takeWaiting() {
        while (take(0ms)) {
        }
    }

private:
    int fd_;
    int port_ = 0;
    std::vector<int> taken_;
};

class HostServiceTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        clips_ = new TempDir();
        makeClip(clips_->file("clip.mp4"), kClipFrames);
    }
    static void TearDownTestSuite() {
        delete clips_;
        clips_ = nullptr;
    }

    std::string clip() const { return clips_->file("clip.mp4"); }

    // Starts the service and points the clients' port file at it.
    HostProcess& startHost(std::vector<std::string> options = {}, std::vector<std::string> wrapper = {}) {
        host_ = std::make_unique<HostProcess>(std::move(options), std::move(wrapper));
        portFile_ = std::make_unique<PortFileGuard>(std::to_string(host_->port()) + "\n");
        return *host_;
    }

    std::unique_ptr<ChildProcess> startClient(const json& config, int useType, std::vector<std::string> args = {}) {
        std::vector<std::string> argv = {HOST_SESSION_CLIENT, config.dump(), std::to_string(useType)};
        argv.insert(argv.end(), args.begin(), args.end());
        return std::make_unique<ChildProcess>(argv);
    }

    // After whatever came before, a plain file session starts.
    void expectANormalSession(LineClient& client) {
        const json reply = streamRequest(client, json::array({{{"file_path", clip()}}}), 7);
        EXPECT_TRUE(reply["error"].is_null()) << reply.dump() << host_->process().output();
    }

    // A session that stops cleanly reports no error and exits 0.
    void expectCleanStop() {
        const std::vector<std::string> errors = host_->errors();
        EXPECT_TRUE(errors.empty()) << errors.front();
        EXPECT_EQ(host_->stop(), 0) << host_->process().output();
    }

    static TempDir* clips_;
    TempDir dir_;
    std::unique_ptr<HostProcess> host_;
    std::unique_ptr<PortFileGuard> portFile_;
};

TempDir* HostServiceTest::clips_ = nullptr;

json savedOutput(const std::string& path, int width = 320, int height = 240) {
    return {{"outPath", path}, {"outFrameRate", 25}, {"outWidth", width}, {"outHeight", height}};
}


TEST_F(HostServiceTest, AnswersBadRequestsWithAnErrorAndKeepsServing) {
    HostProcess& host = startHost();
    LineClient client(host.port());
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"this is not json", "not valid JSON"},
        {"[1,2]", "must be a JSON object"},
        {R"({"id":1})", "has no method"},
        {R"({"id":2,"method":7})", "method must be a string"},
        {R"({"id":3,"method":"fly","params":[]})", "unknown method \"fly\""},
        {R"({"id":4,"method":"stream","params":"[]"})", "params must be an array"},
        {R"({"id":5,"method":"stream","params":[[{"file_path":"/x"}],7,1]})", "must be JSON text in a string"},
        {R"({"id":6,"method":"stream","params":["[{}]","9"]})", "stream takes 3 params"},
        {R"({"id":7,"method":"stream","params":["[{}]","9",1]})", "use type (params[1]) must be an integer"},
        {R"({"id":8,"method":"stream","params":["[{\"file_path\":",7,1]})", "session configuration is not valid JSON"},
        {R"({"id":9,"method":"stream","params":["{\"file_path\":\"/x\"}",7,1]})", "must be a JSON array"},
        {R"({"id":10,"method":"requestPermission","params":[]})", "takes 1 param"},
        {R"({"id":11,"method":"searchUSB","params":[1]})", "takes no params"},
        {R"({"id":1e999,"method":"searchUSB"})", "number overflow parsing '1e999'"},
        {R"({"id":12,"method":"stream","params":["[{\"outFrameRate\":1e999}]",7,1]})", "number overflow"},
        {R"({"id":13,"method":"stream","params":["[{}]",7,18446744073709551615]})",
         "caller (params[2]) must be an integer"},
    };
    for (const auto& [line, fragment] : cases) {
        client.send(line + "\n");
        const std::optional<std::string> reply = client.readLine();
        ASSERT_TRUE(reply) << "no reply to " << line;
        const json parsed = json::parse(*reply);
        ASSERT_TRUE(parsed["error"].is_string()) << *reply;
        EXPECT_NE(parsed["error"].get<std::string>().find(fragment), std::string::npos) << line << " -> " << *reply;
        EXPECT_TRUE(parsed["result"].is_null()) << *reply;
        const json request = json::parse(line, nullptr, false);
        if (request.is_object() && request.contains("id")) {
            EXPECT_EQ(parsed["id"], request["id"]) << *reply;
        }
    }
    // Same connection, still served; and a request split over two writes is one request.
    client.send(R"({"id":"last","meth)");
    std::this_thread::sleep_for(50ms);
    client.send("od\":\"searchUSB\",\"params\":[]}\r\n");
    const json reply = json::parse(*client.readLine());
    EXPECT_EQ(reply["id"], "last");
    EXPECT_TRUE(reply["error"].is_null()) << reply.dump();
    expectCleanStop();
}

TEST_F(HostServiceTest, RefusesAnOversizedLineAndClosesOnlyThatConnection) {
    HostProcess& host = startHost();
    LineClient waiting(host.port());
    LineClient flooding(host.port());
    // An unfinished request on one connection holds up no other.
    waiting.send(R"({"id":1,"method":"search)");
    flooding.send(std::string(2u << 20, 'x'));
    const std::optional<std::string> refusal = flooding.readLine(10s);
    ASSERT_TRUE(refusal);
    EXPECT_NE(json::parse(*refusal)["error"].get<std::string>().find("longer than 1048576 bytes"), std::string::npos)
        << *refusal;
    EXPECT_FALSE(flooding.readLine(5s)) << "the connection stays open after an oversized line";

    waiting.send("USB\",\"params\":[]}\n");
    const json reply = json::parse(*waiting.readLine());
    EXPECT_EQ(reply["result"]["count"], 0);
    LineClient fresh(host.port());
    EXPECT_TRUE(fresh.call({{"id", 2}, {"method", "searchUSB"}, {"params", json::array()}})["error"].is_null());
    expectCleanStop();
}

TEST_F(HostServiceTest, ListsUsbDevicesFromAFixtureAndGrantsPermission) {
    const json devices = json::array({
        {{"deviceClass", 239}, {"deviceSubclass", 2}, {"deviceID", 1002}, {"vendorId", 1133}, {"productId", 2085},
         {"vendorName", "Maker"}, {"productName", "Webcam"}},
        {{"deviceClass", 0}, {"deviceSubclass", 0}, {"deviceID", 1003}, {"vendorId", 1}, {"productId", 2},
         {"vendorName", "Maker"}, {"productName", "Keyboard"}},
    });
    std::ofstream(dir_.file("usb.json")) << devices.dump();
    HostProcess& host = startHost({"--usb-devices", dir_.file("usb.json")});
    LineClient client(host.port());

    const json listing = client.call({{"id", 0}, {"method", "searchUSB"}, {"params", json::array()}});
    EXPECT_TRUE(listing["error"].is_null()) << listing.dump();
    EXPECT_EQ(listing["result"]["content"], devices);
    EXPECT_EQ(listing["result"]["count"], 2);

    const json granted = client.call({{"id", 1}, {"method", "requestPermission"}, {"params", {1002}}});
    EXPECT_EQ(granted["result"], json({{"granted", true}, {"deviceID", 1002}})) << granted.dump();
    EXPECT_TRUE(host.waitForLog("granted USB device 1002"));

    // A fixture that is not JSON is the reply's error, not the service's end.
    std::ofstream(dir_.file("usb.json"), std::ios::trunc) << "{broken";
    const json broken = client.call({{"id", 2}, {"method", "searchUSB"}, {"params", json::array()}});
    EXPECT_NE(broken["error"].get<std::string>().find("is not valid JSON"), std::string::npos) << broken.dump();
    EXPECT_EQ(host.stop(), 0);
}

TEST_F(HostServiceTest, ListsUsbDevicesFromSysfsAndFindsTheCameraNode) {
    namespace fs = std::filesystem;
    const fs::path sys = dir_.file("sys");
    auto write = [](const fs::path& file, const std::string& text) {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text << "\n";
    };
    // A camera on bus 1 device 4, its interface, and the root hub; as sysfs lays them out.
    const fs::path camera = sys / "devices/pci0000:00/usb1/1-2", hub = sys / "devices/pci0000:00/usb1";
    for (const auto& [file, text] : std::vector<std::pair<std::string, std::string>>{
             {"busnum", "1"}, {"devnum", "4"}, {"bDeviceClass", "ef"}, {"bDeviceSubClass", "02"},
             {"idVendor", "046d"}, {"idProduct", "0825"}, {"manufacturer", "Maker"}, {"product", "Webcam C270"}})
        write(camera / file, text);
    for (const auto& [file, text] : std::vector<std::pair<std::string, std::string>>{
             {"busnum", "1"}, {"devnum", "1"}, {"bDeviceClass", "09"}, {"bDeviceSubClass", "00"},
             {"idVendor", "1d6b"}, {"idProduct", "0002"}})
        write(hub / file, text);
    write(camera / "1-2:1.0/bInterfaceClass", "0e");
    fs::create_directories(sys / "bus/usb/devices");
    fs::create_directory_symlink(camera, sys / "bus/usb/devices/1-2");
    fs::create_directory_symlink(hub, sys / "bus/usb/devices/usb1");
    fs::create_directory_symlink(camera / "1-2:1.0", sys / "bus/usb/devices/1-2:1.0");
    for (const char* node : {"video7", "video8"}) {
        write(sys / "class/video4linux" / node / "index", node == std::string("video7") ? "0" : "1");
        fs::create_directory_symlink(camera / "1-2:1.0", sys / "class/video4linux" / node / "device");
    }

    HostProcess& host = startHost({"--sysfs", sys.string()});
    LineClient client(host.port());
    const json listing = client.call({{"id", 0}, {"method", "searchUSB"}, {"params", json::array()}})["result"];
    ASSERT_EQ(listing["count"], 2) << listing.dump();
    const json& cameraRecord = listing["content"][0];
    EXPECT_EQ(cameraRecord["deviceID"], 1004);
    EXPECT_EQ(cameraRecord["deviceClass"], 239);
    EXPECT_EQ(cameraRecord["deviceSubclass"], 2);
    EXPECT_EQ(cameraRecord["vendorId"], 0x046d);
    EXPECT_EQ(cameraRecord["productName"], "Webcam C270");
    EXPECT_EQ(listing["content"][1]["deviceClass"], 9);

    // The session opens the camera's capture node (index 0), which this machine doesn't have.
    const json reply = client.call(
        {{"id", 1}, {"method", "stream"}, {"params", {json::array({{{"usbDeviceId", "1004"}}}).dump(), 6, 1}}});
    ASSERT_TRUE(reply["error"].is_string()) << reply.dump();
    EXPECT_NE(reply["error"].get<std::string>().find("stream 0: cannot open /dev/video7"), std::string::npos)
        << reply.dump();
    const json unknown = client.call(
        {{"id", 2}, {"method", "stream"}, {"params", {json::array({{{"usbDeviceId", 1001}}}).dump(), 6, 1}}});
    EXPECT_NE(unknown["error"].get<std::string>().find("no video device belongs to USB device 1001"), std::string::npos)
        << unknown.dump();
    EXPECT_EQ(host.stop(), 0);
}

TEST_F(HostServiceTest, NativeClientReadsEveryFrameOfAFileAsFfmpegDecodesIt) {
    startHost({"--no-pacing"});
    const std::string frames = dir_.file("frames.rgb");
    auto client = startClient(json::array({{{"file_path", hostPath(clip())}}}), 7, {"--frames", frames});
    ASSERT_EQ(client->wait(30s), 0) << client->output() << host_->process().output();
    const std::string output = client->output();
    EXPECT_NE(output.find(R"("content":{"rgbheight":240,"rgbwidth":320})"), std::string::npos) << output;
    EXPECT_NE(output.find("end\nframes: 30"), std::string::npos) << output;

    const std::vector<unsigned char> expected = decodeWithFfmpeg(clip());
    std::ifstream in(frames, std::ios::binary);
    const std::vector<unsigned char> got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(expected.size(), kClipFrames * kClipFrameBytes);
    ASSERT_EQ(got.size(), expected.size());
    for (int frame = 0; frame < kClipFrames; ++frame) {
        int worst = 0;
        long total = 0;
        for (std::size_t i = frame * kClipFrameBytes; i < (frame + 1) * kClipFrameBytes; ++i) {
            const int difference = std::abs(int(got[i]) - int(expected[i]));
            worst = std::max(worst, difference);
            total += difference;
        }
        EXPECT_LE(worst, 8) << "frame " << frame;
        EXPECT_LE(double(total) / kClipFrameBytes, 1.0) << "frame " << frame;
    }
    EXPECT_TRUE(host_->waitForLog("stream 0: end of input after 30 frames delivered, 0 dropped"));
    expectCleanStop();
}

TEST_F(HostServiceTest, MapsHostPathsBackToThisMachine) {
    const std::string sdcard = dir_.file("sdcard");
    std::filesystem::create_directory(sdcard);
    std::filesystem::copy_file(clip(), sdcard + "/clip.mp4");
    HostProcess& host = startHost({"--sdcard", sdcard});
    LineClient client(host.port());
    auto stream = [&](const json& entry) {
        return client.call({{"id", 0}, {"method", "stream"}, {"params", {json::array({entry}).dump(), 7, 1}}});
    };
    json entry = savedOutput("/sdcard/out.mp4");
    entry["file_path"] = "/sdcard/clip.mp4";
    EXPECT_TRUE(stream(entry)["error"].is_null());
    EXPECT_TRUE(host.waitForLog("input opened: file " + sdcard + "/clip.mp4"));
    EXPECT_TRUE(host.waitForLog("output ready: " + sdcard + "/out.mp4"));

    // "/sdcard" names a folder: "/sdcardX" is a path of its own.
    const json other = stream({{"file_path", "/sdcardX/clip.mp4"}});
    EXPECT_NE(other["error"].get<std::string>().find("cannot open /sdcardX/clip.mp4"), std::string::npos) << other.dump();
    // The userland prefix goes, with the slash a client may double after it.
    const json userland = stream({{"file_path", hostPath("//no/such.mp4")}});
    EXPECT_NE(userland["error"].get<std::string>().find("cannot open /no/such.mp4:"), std::string::npos) << userland.dump();
    EXPECT_EQ(host.stop(), 0);
}

TEST_F(HostServiceTest, SaysWhyItCannotListen) {
    HostProcess& first = startHost();
    ChildProcess second({FLUMINA_HOST_BIN, "--port", std::to_string(first.port())});
    EXPECT_EQ(second.wait(10s), 1);
    EXPECT_TRUE(second.waitForLine("error: cannot listen on 127.0.0.1:" + std::to_string(first.port()) +
                                       ": Address already in use", 1s))
        << second.output();
    ChildProcess wrong({FLUMINA_HOST_BIN, "--heartbeat-timeout", "soon"});
    EXPECT_EQ(wrong.wait(10s), 2);
    EXPECT_TRUE(wrong.waitForLine("--heartbeat-timeout needs a number of seconds above 0, not \"soon\"", 1s));
    EXPECT_EQ(first.stop(), 0);
}

TEST_F(HostServiceTest, SavesAndPushesWhatTheClientPushes) {
    const int port = freePort(SOCK_STREAM);
    const std::string received = dir_.file("received.ts"), saved = dir_.file("saved.mp4");
    ChildProcess receiver({"ffmpeg", "-v", "error", "-y", "-i", "tcp://127.0.0.1:" + std::to_string(port) + "?listen=1",
                           "-c", "copy", "-f", "mpegts", received});
    for (int i = 0; i < 100 && !listeningOn(port); ++i) std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(listeningOn(port)) << receiver.output();

    startHost();
    json stream = savedOutput(hostPath("/" + saved));  // the Python client's "prefix/" + "/abs" form
    stream["file_path"] = clip();
    stream["outUrl"] = "tcp://127.0.0.1:" + std::to_string(port);
    auto client = startClient(json::array({stream}), 7, {"--push", "--show"});
    ASSERT_EQ(client->wait(30s), 0) << client->output() << host_->process().output();
    EXPECT_NE(client->output().find("frames: 30"), std::string::npos);
    expectCleanStop();
    // Every frame pushed and shown is taken once.
    EXPECT_TRUE(host_->waitForLog("stream 0: stopped: delivered 30, dropped 0, pushed 30, encoded 30, shown 30"))
        << host_->process().output();
    ASSERT_EQ(receiver.wait(10s), 0) << receiver.output();

    for (const std::string& file : {saved, received}) {
        const Probe found = probe(file);
        EXPECT_EQ(found.codec, "h264") << file;
        EXPECT_EQ(found.width, 320) << file;
        EXPECT_EQ(found.height, 240) << file;
        EXPECT_EQ(found.frames, kClipFrames) << file;
        EXPECT_TRUE(found.clean) << file;
    }
    EXPECT_TRUE(host_->waitForLog("output " + saved + " finalised"));
}

TEST_F(HostServiceTest, EncodesFramesPushedWithoutAnInputInRgbAndNv12) {
    HostProcess& host = startHost();
    LineClient client(host.port());
    const std::string rgb = dir_.file("rgb.mp4"), nv12 = dir_.file("nv12.mp4");
    const json reply = client.call({{"id", 0}, {"method", "stream"},
                                    {"params", {json::array({savedOutput(rgb, 64, 48), savedOutput(nv12, 64, 48)}).dump(), 9, 1}}});
    ASSERT_TRUE(reply["error"].is_null()) << reply.dump();
    EXPECT_EQ(reply["result"]["content"], json({{"rgbwidth", 64}, {"rgbheight", 48}}));

    // What a client does, as fast as it can: size word, then payload.
    auto rgbChannel = korvane::ipc::dev::ShmRegion::open(flumina::channels::pushChannelName(0), 8 + 64 * 48 * 3);
    auto nv12Channel = korvane::ipc::dev::ShmRegion::open(flumina::channels::pushChannelName(1), 8 + 64 * 48 * 3 / 2);
    constexpr int kFrames = 20;
    for (int frame = 0; frame < kFrames; ++frame) {
        const std::vector<char> rgbFrame(64 * 48 * 3, static_cast<char>(frame * 12));
        const std::vector<char> nv12Frame(64 * 48 * 3 / 2, static_cast<char>(frame * 12));
        rgbChannel->store_word_release(0, rgbFrame.size());
        rgbChannel->write(rgbFrame.data(), rgbFrame.size(), 8);
        nv12Channel->store_word_release(0, nv12Frame.size());
        nv12Channel->write(nv12Frame.data(), nv12Frame.size(), 8);
    }
    expectCleanStop();
    for (const std::string& file : {rgb, nv12}) {
        const Probe found = probe(file);
        EXPECT_EQ(found.width, 64) << file;
        EXPECT_EQ(found.height, 48) << file;
        EXPECT_EQ(found.frames, kFrames) << file;
        EXPECT_TRUE(found.clean) << file;
    }
}

TEST_F(HostServiceTest, SkipsPushedFramesOfAnotherSizeInsteadOfEncodingThem) {
    startHost({"--no-pacing"});
    const std::string saved = dir_.file("small.mp4");
    json stream = savedOutput(saved, 160, 120);
    stream["file_path"] = clip();
    auto client = startClient(json::array({stream}), 7, {"--push"});
    ASSERT_EQ(client->wait(30s), 0) << client->output();
    EXPECT_EQ(host_->stop(), 0);
    EXPECT_TRUE(host_->waitForLog("skipping pushed frames of 230400 bytes: 160 x 120 needs 57600"));
    const std::vector<std::string> lines = host_->process().lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.find("skipping pushed frames") != std::string::npos; }),
              1);
    EXPECT_TRUE(host_->waitForLog("pushed 30, encoded 0, shown 0, skipped 30"));
    EXPECT_TRUE(host_->waitForLog("output " + saved + ": no frame was pushed, so nothing is saved"));
    EXPECT_FALSE(std::filesystem::exists(saved)) << "an unplayable file of no frame is left behind";
}

TEST_F(HostServiceTest, RefusesSessionsItCannotRunNamingTheStreamAndLeavesNothingRunning) {
    HostProcess& host = startHost({"--loop"});
    LineClient client(host.port());
    auto stream = [&](const json& config, int useType) {
        return client.call({{"id", 0}, {"method", "stream"}, {"params", {config.dump(), useType, 1}}});
    };
    ASSERT_TRUE(stream(json::array({{{"file_path", clip()}}}), 7)["error"].is_null());
    ASSERT_TRUE(host.waitForLog("session started"));

    json output = savedOutput("/no/such/folder/out.mp4");
    output["file_path"] = clip();
    const std::vector<std::tuple<json, int, std::string>> cases = {
        {json::array({{{"file_path", clip()}}, {{"file_path", dir_.file("missing.mp4")}}}), 7,
         "stream 1: cannot open " + dir_.file("missing.mp4") + ": No such file or directory"},
        {json::array({{{"inputUrl", "udp://127.0.0.1:9"}, {"inputFormat", "video/vp9"}}}), 1,
         "stream 0: unknown codec \"video/vp9\""},
        {json::array({output}), 7, "stream 0: cannot open /no/such/folder/out.mp4 for writing"},
        {json::array({{{"file_path", clip()}}}), 1, "stream 0: use type 1 (network streams, decoded frames only) needs a inputUrl, the entry has file_path"},
        {json::array({{{"inputUrl", "rtsp://x/1"}, {"outUrl", "rtmp://x/live"}, {"outFrameRate", 25}, {"outWidth", 641}, {"outHeight", 480}}}), 2,
         "stream 0: outWidth and outHeight must be even"},
        {json::array({{{"inputUrl", "rtsp://x/1"}, {"outUrl", "ftp://x/live"}, {"outFrameRate", 25}, {"outWidth", 640}, {"outHeight", 480}, {"inputResizeWidth", 640}, {"inputResizeHeight", 480}}}), 2,
         "no muxer for scheme \"ftp\""},
        {json::array(), 7, "holds no stream"},
        {json::array({{{"file_path", clip()}}}), 12, "unknown use type 12"},
    };
    for (const auto& [config, useType, fragment] : cases) {
        const json reply = stream(config, useType);
        ASSERT_TRUE(reply["error"].is_string()) << config.dump() << " -> " << reply.dump();
        EXPECT_NE(reply["error"].get<std::string>().find(fragment), std::string::npos)
            << config.dump() << " -> " << reply.dump();
    }
    // The running session was stopped for the first new request; none started since.
    const std::vector<std::string> lines = host.process().lines();
    auto count = [&](const char* what) {
        return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(what) != std::string::npos; });
    };
    EXPECT_EQ(count("session started"), 1);
    EXPECT_EQ(count("session stopped: replaced by a new session"), 1);
    EXPECT_FALSE(std::filesystem::exists("/no/such/folder/out.mp4"));
    EXPECT_EQ(host.stop(), 0);
}

TEST_F(HostServiceTest, ANewSessionReplacesTheRunningOneAndFinalisesItsOutputs) {
    HostProcess& host = startHost({"--loop"});
    const std::string first = dir_.file("first.mp4");
    json stream = savedOutput(first);
    stream["file_path"] = clip();
    auto client = startClient(json::array({stream}), 7, {"--push"});
    ASSERT_TRUE(client->waitForLine("frame 15 ", 10s)) << client->output() << host.process().output();

    LineClient other(host.port());
    const json reply = other.call({{"id", 0}, {"method", "stream"},
                                   {"params", {json::array({{{"file_path", clip()}, {"inputResizeWidth", 64}, {"inputResizeHeight", 48}}}).dump(), 7, 4242}}});
    EXPECT_TRUE(reply["error"].is_null()) << reply.dump();
    EXPECT_EQ(reply["result"]["content"], json({{"rgbwidth", 64}, {"rgbheight", 48}}));
    client->signal(SIGKILL);

    const std::vector<std::string> lines = host.process().lines();
    auto at = [&](const std::string& what) {
        return std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(what) != std::string::npos; }) -
               lines.begin();
    };
    EXPECT_LT(at("output " + first + " finalised"), at("starting a session for caller 4242"));
    EXPECT_LT(at("session stopped: replaced by a new session"), at("starting a session for caller 4242"));
    // Its client was still there: both callers are named.
    const std::optional<std::string> replacing = host.waitForLog("replacing the session of caller 1 on connection ");
    ASSERT_TRUE(replacing);
    EXPECT_NE(replacing->find("whose client is still there, with one for caller 4242 on connection "), std::string::npos)
        << *replacing;
    const Probe found = probe(first);
    EXPECT_GE(found.frames, 10);
    EXPECT_TRUE(found.clean);
    expectCleanStop();
}

TEST_F(HostServiceTest, EndsTheSessionOfAKilledClientAtOnceAndKeepsEveryFrameItPushed) {
    HostProcess& host = startHost({"--loop", "--heartbeat-timeout", "30"});
    const std::string saved = dir_.file("killed.mp4");
    json stream = savedOutput(saved);
    stream["file_path"] = clip();
    auto client = startClient(json::array({stream}), 7, {"--push"});
    ASSERT_TRUE(client->waitForLine("frame 40 ", 10s)) << client->output();
    client->signal(SIGKILL);
    ASSERT_EQ(client->wait(5s), 128 + SIGKILL);
    long pushed = 0;
    for (const std::string& line : client->lines())
        if (line.rfind("frame ", 0) == 0) pushed = std::stol(line.substr(6));

    // Its connection closing ends the session, long before the heartbeat would.
    ASSERT_TRUE(host.waitForLog("session stopped: client gone (its connection closed)", 5s)) << host.process().output();
    const Probe found = probe(saved);
    EXPECT_EQ(found.codec, "h264");
    EXPECT_TRUE(found.clean);
    EXPECT_GE(found.frames, pushed) << pushed << " frames pushed";
    EXPECT_LE(found.frames, pushed + 1) << "the kill may fall between a push and its line";
    expectCleanStop();
}

TEST_F(HostServiceTest, AnInputThatCannotStartAgainEndsWithTheEndOfInputFrame) {
    startHost({"--loop", "--no-pacing"});
    const std::string copy = dir_.file("gone.mp4");
    std::filesystem::copy_file(clip(), copy);
    auto client = startClient(json::array({{{"file_path", copy}}}), 7);
    ASSERT_TRUE(client->waitForLine("frame 1 ", 10s)) << client->output();
    std::filesystem::remove(copy);  // the --loop reopen fails
    ASSERT_EQ(client->wait(20s), 0) << client->output() << host_->process().output();
    EXPECT_NE(client->output().find("end\nframes: 30"), std::string::npos) << client->output();
    EXPECT_TRUE(host_->waitForLog("stream 0: input stopped: cannot open " + copy));
    EXPECT_EQ(host_->stop(), 0);
}

TEST_F(HostServiceTest, ANativeClientOfARefusedSessionReadsTheEndAndNoStaleFrame) {
    startHost({"--no-pacing"});
    auto good = startClient(json::array({{{"file_path", clip()}}}), 7, {"--max-frames", "2"});
    ASSERT_EQ(good->wait(10s), 0) << good->output();  // it leaves a frame in the channel
    auto refused = startClient(json::array({{{"file_path", dir_.file("missing.mp4")}}}), 7, {"--read-refused"});
    ASSERT_EQ(refused->wait(10s), 0) << refused->output();
    EXPECT_NE(refused->output().find("end\nframes: 0"), std::string::npos) << refused->output();
    EXPECT_EQ(host_->stop(), 0);
}

TEST_F(HostServiceTest, ANativeClientWaitingForAFrameEndsWhenTheHostDies) {
    HostProcess& host = startHost({"--test-cameras"});
    auto client = startClient(json::array({{{"camera_id", 0}}}), 4);
    ASSERT_TRUE(client->waitForLine("frame 3 ", 10s)) << client->output();
    host.process().signal(SIGKILL);  // no end-of-input frame can come now
    ASSERT_EQ(client->wait(5s), 0) << client->output();
    EXPECT_NE(client->output().find("end\nframes: "), std::string::npos) << client->output();
    EXPECT_NE(client->output().find("the host stream service has closed the connection"), std::string::npos);
}

TEST_F(HostServiceTest, DecodesAStreamFromALocalUdpSenderAtTheRegisteredSize) {
    const int port = freePort(SOCK_DGRAM);
    const std::string url = "udp://127.0.0.1:" + std::to_string(port);
    ChildProcess sender({"ffmpeg", "-v", "error", "-re", "-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25", "-t", "20",
                         "-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency", "-g", "5", "-f", "mpegts",
                         url + "?pkt_size=1316"});
    HostProcess& host = startHost();
    auto client = startClient(
        json::array({{{"inputUrl", url}, {"inputFormat", "video/avc"}, {"inputResizeWidth", 160}, {"inputResizeHeight", 120}}}),
        8, {"--max-frames", "20"});
    ASSERT_EQ(client->wait(20s), 0) << client->output() << host.process().output();
    EXPECT_NE(client->output().find("frame 20 57600"), std::string::npos) << client->output();
    const std::optional<std::string> opened = host.waitForLog("input opened: url " + url);
    ASSERT_TRUE(opened);
    EXPECT_NE(opened->find("h264 320 x 240"), std::string::npos) << *opened;
    EXPECT_NE(opened->find("live"), std::string::npos) << *opened;
    sender.signal(SIGKILL);
    EXPECT_EQ(host.stop(), 0);
}

TEST_F(HostServiceTest, RunsCameraSessionsOnTheTestPattern) {
    startHost({"--test-cameras"});
    const std::string frames = dir_.file("camera.rgb");
    auto client = startClient(json::array({{{"camera_id", 0}}}), 4, {"--max-frames", "3", "--frames", frames});
    ASSERT_EQ(client->wait(15s), 0) << client->output();
    EXPECT_NE(client->output().find(R"("content":{"rgbheight":480,"rgbwidth":640})"), std::string::npos);
    std::ifstream in(frames, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t frameBytes = 640 * 480 * 3;
    ASSERT_EQ(bytes.size(), 3 * frameBytes);
    EXPECT_NE(bytes.compare(0, frameBytes, bytes, frameBytes, frameBytes), 0) << "the pattern does not move";

    // A USB camera at a registered size; the second stream is read at stream 0's size.
    auto usb = startClient(json::array({{{"usbDeviceId", 1002}, {"inputResizeWidth", 320}, {"inputResizeHeight", 180}},
                                        {{"usbDeviceId", 1003}}}),
                           6, {"--max-frames", "2"});
    ASSERT_EQ(usb->wait(15s), 0) << usb->output();
    EXPECT_NE(usb->output().find("frame 2 172800"), std::string::npos) << usb->output();
    EXPECT_TRUE(host_->waitForLog("stream 1: 320 x 180 from camera USB 1003: test pattern 320 x 180"));
    expectCleanStop();
}

TEST_F(HostServiceTest, NeverWaitsOnAFifoNorOnAnotherRequestsSlowOpen) {
    const std::string fifo = dir_.file("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // An HTTP server that takes the connection and never answers: its input opens until --open-timeout.
    SilentServer silent;
    const json slow = json::array({{{"inputUrl", "http://127.0.0.1:" + std::to_string(silent.port()) + "/x.mp4"}}});

    HostProcess& host = startHost({"--open-timeout", "60"});
    LineClient client(host.port());
    expectRefusal(streamRequest(client, json::array({{{"file_path", fifo}}}), 7, 5s),
                  "stream 0: cannot open " + fifo + ": it is a FIFO, not a regular file");
    json output = savedOutput(fifo);
    output["file_path"] = clip();
    expectRefusal(streamRequest(client, json::array({output}), 7, 5s),
                  "stream 0: cannot open " + fifo + " for writing: it is a FIFO, not a regular file");

    // A request that opens slowly holds up no other: the newer one is served at once, the older one gives up.
    LineClient waiting(host.port());
    waiting.send(json({{"id", 1}, {"method", "stream"}, {"params", {slow.dump(), 1, 1}}}).dump() + "\n");
    ASSERT_TRUE(host.waitForLog("starting a session for caller 1: use type 1"));
    const auto asked = std::chrono::steady_clock::now();
    expectANormalSession(client);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 5s);
    const std::optional<std::string> gaveUp = waiting.readLine(5s);
    ASSERT_TRUE(gaveUp);
    expectRefusal(json::parse(*gaveUp), "a newer stream request came before this one's session could start");

    // Nor does it hold up the end of the service, signalled once the request waits on the silent server.
    silent.takeWaiting();
    waiting.send(json({{"id", 2}, {"method", "stream"}, {"params", {slow.dump(), 1, 1}}}).dump() + "\n");
    ASSERT_TRUE(host.waitForLog("gives way to one of caller 1"));
    ASSERT_TRUE(silent.take(5s)) << "the request never connected to the silent server";
    const auto signalled = std::chrono::steady_clock::now();
    host.process().signal(SIGTERM);
    EXPECT_EQ(host.process().wait(5s), 0) << host.process().output();
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, 2s);
}

TEST_F(HostServiceTest, RefusesASessionLargerThanSharedMemoryAndServesTheNextOne) {
    // A shared-memory folder of 64 MiB of the host's own, in a mount namespace of its own.
    const std::vector<std::string> smallShm = {"unshare", "--mount", "--propagation", "private", "sh", "-c",
                                               "mount -t tmpfs -o size=64m none /dev/shm && exec \"$0\" \"$@\""};
    std::string why;
    std::vector<std::string> probe = smallShm;
    probe.push_back("true");
    if (runCommand(probe, &why, 10s) != 0) GTEST_SKIP() << "no private /dev/shm here: " << why;

    HostProcess& host = startHost({}, smallShm);
    LineClient client(host.port());
    // Two streams pushing 4096 x 2048 frames: their display and push channels take 96 MiB.
    const json big = json::array({savedOutput(dir_.file("a.mp4"), 4096, 2048), savedOutput(dir_.file("b.mp4"), 4096, 2048)});
    const json reply = streamRequest(client, big, 9);
    expectRefusal(reply, "cannot create its channels: cannot reserve 25169928 bytes of memory for channel ");
    expectRefusal(reply, "No space left on device");
    expectANormalSession(client);
    expectCleanStop();
}

TEST_F(HostServiceTest, RefusesWhatGoesBeyondItsLimits) {
    HostProcess& host = startHost();
    LineClient client(host.port());
    expectRefusal(streamRequest(client, json(65, {{"file_path", clip()}}), 7), "holds 65 streams; at most 64");
    for (const double rate : {1e-300, 0.05, 1e9}) {
        json output = savedOutput(dir_.file("rate.mp4"));
        output["file_path"] = clip();
        output["outFrameRate"] = rate;
        expectRefusal(streamRequest(client, json::array({output}), 7), "stream 0: outFrameRate must be a number from 0.1 to 240");
    }
    const json huge = {{"file_path", clip()}, {"inputResizeWidth", 8192}, {"inputResizeHeight", 8192}};
    expectRefusal(streamRequest(client, json(4, huge), 7), "a session may take at most 2048 MiB");
    EXPECT_FALSE(std::filesystem::exists(dir_.file("rate.mp4")));

    std::vector<std::unique_ptr<LineClient>> crowd;
    for (int i = 0; i < 63; ++i) crowd.push_back(std::make_unique<LineClient>(host.port()));
    LineClient tooMany(host.port());
    const std::optional<std::string> refusal = tooMany.readLine();
    ASSERT_TRUE(refusal);
    expectRefusal(json::parse(*refusal), "at most 64 connections at once");
    crowd.clear();
    expectANormalSession(client);
    expectCleanStop();
}

TEST_F(HostServiceTest, LeavesReadOnlyLinkedAndUnusedOutputsAsTheyWere) {
    const std::string readOnly = dir_.file("read-only.mp4"), target = dir_.file("target.mp4"),
                      link = dir_.file("link.mp4"), unused = dir_.file("unused.mp4");
    std::ofstream(readOnly) << "precious";
    ::chmod(readOnly.c_str(), 0444);
    std::ofstream(target) << "target";
    std::filesystem::create_symlink(target, link);
    std::ofstream(unused) << "kept";

    HostProcess& host = startHost();
    LineClient client(host.port());
    auto saveTo = [&](const std::string& path) {
        json output = savedOutput(path);
        output["file_path"] = clip();
        return streamRequest(client, json::array({output}), 7);
    };
    expectRefusal(saveTo(readOnly), "cannot open " + readOnly + " for writing: it is read-only (mode 0444)");
    expectRefusal(saveTo(link), "cannot open " + link + " for writing: it is a symbolic link");
    expectRefusal(streamRequest(client, json::array({{{"inputUrl", "concat:" + clip() + "|" + clip()}}}), 1),
                  "stream 0: inputUrl scheme \"concat\" is not served");
    json overItsInput = savedOutput(clip());
    overItsInput["file_path"] = clip();
    expectRefusal(streamRequest(client, json::array({overItsInput}), 7),
                  "stream 0: outPath " + clip() + " is the input of stream 0");
    // A session that no client pushes to neither empties nor removes a file that was there.
    EXPECT_TRUE(saveTo(unused)["error"].is_null());
    expectANormalSession(client);
    EXPECT_EQ(contentOf(readOnly), "precious");
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(contentOf(target), "target");
    EXPECT_EQ(contentOf(unused), "kept");
    expectCleanStop();
}

TEST_F(HostServiceTest, UsesNoChannelObjectThatAnotherUserMayWrite) {
    if (::geteuid() != 0) GTEST_SKIP() << "giving a channel object to another user needs root";
    // Another user's channel object, which anyone may write and which that user keeps mapped.
    const std::string input = flumina::channels::inputChannelName(0);
    auto planted = korvane::ipc::dev::ShmRegion::open(input, 8 + kClipFrameBytes);
    const std::string object = "/dev/shm" + korvane::ipc::dev::shmObjectName(input);
    ASSERT_EQ(::chown(object.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(object.c_str(), 0666), 0);

    startHost({"--no-pacing"});
    auto client = startClient(json::array({{{"file_path", clip()}}}), 7);
    ASSERT_EQ(client->wait(30s), 0) << client->output() << host_->process().output();
    EXPECT_NE(client->output().find("end\nframes: 30"), std::string::npos) << client->output();
    EXPECT_TRUE(host_->waitForLog("stream 0: channel " + input + " was not the host's to use (owned by uid 65534, mode 0666"));
    EXPECT_EQ(planted->load_word_acquire(flumina::channels::kSizeWordOffset), 0u) << "a frame reached the planted object";
    struct stat st {};
    ASSERT_EQ(::stat(object.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, ::geteuid());
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // A path with a newline is one log line.
    LineClient other(host_->port());
    expectRefusal(streamRequest(other, json::array({{{"file_path", "/no/such\nfile"}}}), 7), "cannot open /no/such\nfile");
    EXPECT_TRUE(host_->waitForLog("cannot open /no/such\\nfile"));
    expectANormalSession(other);
    expectCleanStop();
}

}  // namespace
