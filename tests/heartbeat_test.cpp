// The heartbeat loop, alone in its process so that no other beat interferes.
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "flumina.h"

namespace {

std::string heartbeat() {
    std::ifstream in("/tmp/mmkv/info.txt", std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// The first value other than `previous` (and other than an empty file, which
// a reader may catch between truncation and write), within a few seconds.
std::string nextBeat(const std::string& previous) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    std::string value = previous;
    while ((value == previous || value.empty()) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        value = heartbeat();
    }
    return value;
}

TEST(HeartbeatTest, WritesOneAtOnceThenTwoWithoutANewline) {
    ::mkdir("/tmp/mmkv", 0755);
    std::ofstream("/tmp/mmkv/info.txt", std::ios::trunc) << "";
    std::thread(keep).detach();
    const std::string first = nextBeat("");
    EXPECT_EQ(first, "1");
    EXPECT_EQ(nextBeat(first), "2");
}

}  // namespace
