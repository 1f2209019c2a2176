// libflumina in a process that has no region component loaded and cannot load
// the development stand-in by its soname.
#include <dlfcn.h>
#include <sys/stat.h>

#include <stdexcept>

#include <gtest/gtest.h>

#include "fake_service.h"
#include "flumina.h"

TEST(NoComponentTest, TheFirstAttachThrowsNamingWhatIsMissing) {
    ::mkdir("/tmp/mmkv", 0755);
    FakeService service;
    PortFileGuard port(std::to_string(service.port()));
    Android host;
    testing::internal::CaptureStdout();
    try {
        host.start(R"([{"inputUrl":"rtsp://a"}])", 8);
        testing::internal::GetCapturedStdout();
        if (dlopen(REGION_LIBRARY, RTLD_NOW | RTLD_NOLOAD) != nullptr)
            GTEST_SKIP() << REGION_LIBRARY << " is installed on this machine, so there is always a component";
        ADD_FAILURE() << "start succeeded without a region component";
        return;
    } catch (const std::runtime_error& e) {
        const std::string message = e.what();
        EXPECT_NE(message.find("korvane::ipc::AndroidAshmem::attach_ashmem"), std::string::npos) << message;
        EXPECT_NE(message.find("not loaded"), std::string::npos) << message;
        EXPECT_NE(message.find(REGION_LIBRARY), std::string::npos) << "the loader's reason names the soname: "
                                                                   << message;
    }
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(service.lines().empty()) << "nothing is sent when the channels cannot be attached";
    // A session without streams needs no component.
    EXPECT_NO_THROW(host.start("[]", 2));
}
