// libflumina in a process that has no region component of its own: it loads
// the development stand-in by its soname (here found through LD_LIBRARY_PATH,
// as an installed one is found in the system's library folder).
#include <dlfcn.h>
#include <sys/stat.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "android_ashmem.h"
#include "fake_service.h"
#include "flumina.h"

TEST(ComponentBySonameTest, TheFirstAttachLoadsTheStandInAndItsRegionsWork) {
    ASSERT_EQ(dlopen(REGION_LIBRARY, RTLD_NOW | RTLD_NOLOAD), nullptr) << "the test must not link the stand-in";
    ::mkdir("/tmp/mmkv", 0755);
    FakeService service;
    PortFileGuard port(std::to_string(service.port()));
    Android host;
    std::string error;
    testing::internal::CaptureStdout();
    try {
        host.start(R"([{"inputUrl":"rtsp://a"}])", 8);
    } catch (const std::exception& e) {
        error = e.what();
    }
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(error, "");
    EXPECT_NE(dlopen(REGION_LIBRARY, RTLD_NOW | RTLD_NOLOAD), nullptr);
    ASSERT_EQ(host.displayChannels.size(), 1u);
    ASSERT_TRUE(service.waitForLines(1)) << "the request is sent once the channels are attached";

    // What is written through one region object is read back through it.
    const char frame[] = "0123456789";
    host.displayChannels[0]->write_bytes(frame, sizeof frame, 8);
    char* seen = nullptr;
    host.displayChannels[0]->read_bytes(&seen, sizeof frame, 8, 0);
    ASSERT_NE(seen, nullptr);
    EXPECT_EQ(std::memcmp(seen, frame, sizeof frame), 0);
}
