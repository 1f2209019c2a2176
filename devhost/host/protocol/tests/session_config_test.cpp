// What the host takes from a session configuration, and every refusal it answers with.
#include <gtest/gtest.h>

#include <string>

#include "fuzz_seeds.h"
#include "session_config.h"
#include "url_schemes.h"

namespace flumina::host {
namespace {

struct ConfigCase {
    int useType;
    std::string config;
    std::string error;  // the ConfigError's message, or its start where the JSON reader's text follows
};

std::string refusalOf(const ConfigCase& c) {
    try {
        parseSession(c.config, c.useType, "/sdcard");
    } catch (const ConfigError& e) {
        return e.what();
    }
    return "(taken)";
}

void expectRefusals(const std::vector<ConfigCase>& cases) {
    for (const ConfigCase& c : cases) {
        const std::string error = refusalOf(c);
        EXPECT_EQ(error.substr(0, c.error.size()), c.error) << "use type " << c.useType << ", " << c.config;
    }
}

std::string streams(std::size_t count) {
    std::string config = "[";
    for (std::size_t i = 0; i < count; ++i) config += i == 0 ? "{}" : ",{}";
    return config + "]";
}

TEST(SessionConfigTest, AConfigurationThatIsNoListOfStreamsIsRefusedWhole) {
    expectRefusals({
        {7, "[", "session configuration is not valid JSON: "},
        {7, "[1e999]", "session configuration is not valid JSON: "},
        {7, R"({"file_path": "/a.mp4"})", "session configuration must be a JSON array of stream objects, not object"},
        {7, "[]", "session configuration holds no stream"},
        {9, streams(65), "session configuration holds 65 streams; at most 64 run at once"},
        {10, "[{}]", "unknown use type 10 (expected 1 to 9)"},
        {-1, "[{}]", "unknown use type -1 (expected 1 to 9)"},
    });
    EXPECT_EQ(parseSession(streams(64), 9, "/sdcard").streams.size(), 64u);
}

TEST(SessionConfigTest, AnEntryThatCannotRunIsRefusedWithItsIndex) {
    const std::string served = servedInputSchemes();
    expectRefusals({
        {7, R"([{"file_path": "/a.mp4"}, 3])", "stream 1: entry must be a JSON object, not number"},
        {1, R"([{"inputUrl": "rtsp://c/1", "camera_id": 0}])", "stream 0: more than one input: inputUrl and camera_id"},
        {7, R"([{"file_path": "/a.mp4", "usbDeviceId": 1}])", "stream 0: more than one input: usbDeviceId and file_path"},
        {1, R"([{"inputUrl": ""}])", R"(stream 0: inputUrl must be a non-empty string, not "")"},
        {7, R"([{"file_path": 5}])", "stream 0: file_path must be a non-empty string, not 5"},
        {1, R"([{"inputUrl": "gopher://x/1"}])", "stream 0: inputUrl scheme \"gopher\" is not served (" + served + ")"},
        {4, R"([{"camera_id": 256}])", "stream 0: camera_id must be a camera index from 0 to 255, not 256"},
        {4, R"([{"camera_id": "0.5"}])", R"(stream 0: camera_id must be a camera index from 0 to 255, not "0.5")"},
        {1, R"([{"inputUrl": "rtsp://c/1", "inputFormat": "video/vp9"}])",
         R"(stream 0: unknown codec "video/vp9" in inputFormat (expected "video/avc" or "video/hevc"))"},
        {7, R"([{"file_path": "/a.mp4", "inputResizeWidth": 640}])",
         "stream 0: inputResizeWidth is given without inputResizeHeight"},
        {7, R"([{"file_path": "/a.mp4", "inputResizeHeight": 360}])",
         "stream 0: inputResizeHeight is given without inputResizeWidth"},
        {7, R"([{"file_path": "/a.mp4", "inputResizeWidth": 0, "inputResizeHeight": 360}])",
         "stream 0: inputResizeWidth must be a whole number from 1 to 8192, not 0"},
        {7, R"([{"file_path": "/a.mp4", "inputResizeWidth": 640, "inputResizeHeight": 360.5}])",
         "stream 0: inputResizeHeight must be a whole number from 1 to 8192, not 360.5"},
        {2, R"([{"inputUrl": "rtsp://c/1", "outUrl": "x"}])", R"(stream 0: outUrl "x" is not a URL (scheme://...))"},
        {2, R"([{"inputUrl": "rtsp://c/1", "outUrl": "gopher://x"}])",
         "stream 0: cannot push to gopher://x: no muxer for scheme \"gopher\" ("},
        {3, R"([{"inputUrl": "rtsp://c/1", "outPath": "/o.mp4", "outFrameRate": 300}])",
         "stream 0: outFrameRate must be a number from 0.1 to 240, not 300"},
        {3, R"([{"inputUrl": "rtsp://c/1", "outPath": "/o.mp4", "outFrameRate": "fast"}])",
         R"(stream 0: outFrameRate must be a number from 0.1 to 240, not "fast")"},
        {3, R"([{"inputUrl": "rtsp://c/1", "outPath": "/o.mp4", "outWidth": 640, "outHeight": 360}])",
         "stream 0: an output needs outFrameRate"},
        {3, R"([{"inputUrl": "rtsp://c/1", "outPath": "/o.mp4", "outFrameRate": 25}])",
         "stream 0: an output needs outWidth and outHeight"},
        {3, R"([{"inputUrl": "rtsp://c/1", "outPath": "/o.mp4", "outFrameRate": 25, "outWidth": 641, "outHeight": 360}])",
         "stream 0: outWidth and outHeight must be even for the encoder, not 641 x 360"},
    });
}

TEST(SessionConfigTest, EveryStreamIsHeldToTheRulesOfItsUseType) {
    const std::string output = R"("outFrameRate": 25, "outWidth": 64, "outHeight": 48)";
    const std::string push = R"("outUrl": "rtmp://x/live", )" + output;
    const std::string save = R"("outPath": "/o.mp4", )" + output;
    expectRefusals({
        {7, R"([{"inputUrl": "rtsp://c/1"}])", "stream 0: use type 7 (files) needs a file_path, the entry has inputUrl"},
        {7, R"([{}])", "stream 0: use type 7 (files) needs a file_path, the entry has no input"},
        {9, R"([{"camera_id": 1}])",
         "stream 0: use type 9 (no input, output settings only) needs no input, the entry has camera_id"},
        {1, R"([{"inputUrl": "rtsp://c/1", )" + save + "}]",
         "stream 0: use type 1 (network streams, decoded frames only) takes no outUrl or outPath"},
        {8, R"([{"inputUrl": "rtsp://c/1", )" + push + "}]",
         "stream 0: use type 8 (network streams at a registered size) takes no outUrl or outPath"},
        {8, R"([{"inputUrl": "rtsp://c/1"}])",
         "stream 0: use type 8 (network streams at a registered size) needs inputResizeWidth and inputResizeHeight"},
        {2, R"([{"inputUrl": "rtsp://c/1", )" + save + "}]",
         "stream 0: use type 2 (network streams pushed to addresses) needs an outUrl on every stream"},
        {2, R"([{"inputUrl": "rtsp://c/1", "outPath": "/o.mp4", )" + push + "}]",
         "stream 0: use type 2 (network streams pushed to addresses) takes no outPath (that is use type 3)"},
        {3, R"([{"inputUrl": "rtsp://c/1"}])",
         "stream 0: use type 3 (network streams saved to files) needs an outUrl or outPath on every stream"},
        {4, R"([{"camera_id": 0, )" + push + "}]",
         "stream 0: use type 4 (cameras without push output) takes no outUrl (that is use type 5)"},
        {5, R"([{"camera_id": 0, )" + save + "}]",
         "stream 0: use type 5 (cameras pushed to addresses) needs an outUrl on every stream"},
    });
    // What each takes besides: a size for use type 1, a save beside the push for 3, a save for a camera.
    for (const auto& [useType, config] : std::vector<std::pair<int, std::string>>{
             {1, R"([{"inputUrl": "rtsp://c/1", "inputResizeWidth": 64, "inputResizeHeight": 48}])"},
             {3, R"([{"inputUrl": "rtsp://c/1", "outPath": "/o.mp4", )" + push + "}]"},
             {4, R"([{"camera_id": 0, )" + save + "}]"},
             {6, R"([{"usbDeviceId": 1002, )" + push + "}]"}})
        EXPECT_NO_THROW(parseSession(config, useType, "/sdcard")) << config;
}

TEST(SessionConfigTest, TwoStreamsNeverSaveToOneFileOrOverAnInput) {
    const std::string output = R"("outFrameRate": 25, "outWidth": 64, "outHeight": 48)";
    expectRefusals({
        {7, R"([{"file_path": "/x.mp4"}, {"file_path": "/y.mp4", "outPath": "/x.mp4", )" + output + "}]",
         "stream 1: outPath /x.mp4 is the input of stream 0"},
        {7, R"([{"file_path": "/a.mp4", "outPath": "/x.mp4", )" + output + R"(}, {"file_path": "/b.mp4", "outPath": "/x.mp4", )" +
                output + "}]",
         "stream 1: outPath /x.mp4 is stream 0's outPath too"},
    });
}

TEST(SessionConfigTest, ValuesAreTakenAsClientsSendThem) {
    const SessionSpec session = parseSession(
        R"([{"inputUrl": "rtsp://c/1", "inputFormat": "video/hevc", "inputResizeWidth": "640", "inputResizeHeight": 360,
             "outUrl": "rtmp://x/live", "outPath": "/data/data/com.korvane/files/home/debian-fs//home/u/rec.mp4",
             "outFrameRate": "12.5", "outWidth": 320, "outHeight": 180}])",
        3, "/media/card");
    const StreamSpec& stream = session.streams.at(0);
    EXPECT_EQ(stream.kind, InputKind::Network);
    EXPECT_EQ(stream.codecHint, "hevc");
    EXPECT_EQ(stream.resize->width, 640);
    EXPECT_EQ(stream.outPath, "/home/u/rec.mp4");
    EXPECT_EQ(*stream.outFrameRate, 12.5);
    EXPECT_TRUE(stream.deviceProblems.empty());

    const StreamSpec camera = parseSession(R"([{"camera_id": true}])", 4, "/media/card").streams.at(0);
    EXPECT_EQ(camera.cameraId, 1);
    const StreamSpec file = parseSession(R"([{"file_path": "/sdcard/a.mp4"}, {"file_path": "/home/u/b.mp4"}])", 7,
                                         "/media/card")
                                .streams.at(1);
    EXPECT_EQ(file.path, "/home/u/b.mp4");
    ASSERT_EQ(file.deviceProblems.size(), 1u);
    EXPECT_EQ(file.deviceProblems[0].rfind("file_path /home/u/b.mp4 is no path the device's host can reach", 0), 0u);
    EXPECT_EQ(parseSession(R"([{"file_path": "/sdcard/a.mp4"}])", 7, "/media/card").streams[0].path, "/media/card/a.mp4");
}

TEST(SessionConfigTest, EverySeedOfTheFuzzCorpusIsASessionTheHostTakes) {
    const auto seeds = fuzzSeeds("session_config");
    ASSERT_FALSE(seeds.empty());
    for (const auto& [name, seed] : seeds) {
        // As fuzz_session_config reads it: the first byte picks the use type, the rest is the configuration.
        ASSERT_FALSE(seed.empty()) << name;
        const int useType = static_cast<unsigned char>(seed[0]) % 11 - 1;
        EXPECT_NO_THROW(parseSession(seed.substr(1), useType, "/sdcard")) << name << ", use type " << useType;
    }
}

}  // namespace
}  // namespace flumina::host
