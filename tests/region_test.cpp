// The region component stand-in against real shared memory.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "attach_symbol.h"
#include "shm_region.h"
#include "shrink_guard.h"

using korvane::ipc::AndroidAshmem;
using korvane::ipc::dev::ShmRegion;
using korvane::ipc::dev::shmObjectName;

namespace {

// A channel name of this test run, removed again at the end of the test.
class RegionTest : public ::testing::Test {
protected:
    std::string name(const std::string& tag) {
        std::string n = "/tmp/mmkv/region_test_" + std::to_string(::getpid()) + "_" + tag;
        names_.push_back(n);
        return n;
    }
    void TearDown() override {
        for (const auto& n : names_) ShmRegion::remove(n);
    }

private:
    std::vector<std::string> names_;
};

template <class Exception, class Call>
void expectThrowWith(Call&& call, const std::string& fragment) {
    try {
        call();
        ADD_FAILURE() << "nothing thrown; expected a message with: " << fragment;
    } catch (const Exception& e) {
        EXPECT_NE(std::string(e.what()).find(fragment), std::string::npos) << e.what();
    }
}

std::string objectPath(const std::string& channel) { return "/dev/shm" + shmObjectName(channel); }

}  // namespace

TEST(RegionNaming, MapsChannelNamesToOneObjectEach) {
    EXPECT_EQ(shmObjectName("/tmp/mmkv/tmp_ipc_rtsp0"), "/flumina.tmp.mmkv.tmp_ipc_rtsp0");
    EXPECT_EQ(shmObjectName("/tmp/mmkv/tmp_ipc_display_12"), "/flumina.tmp.mmkv.tmp_ipc_display_12");
    // '.' and '%' are escaped, so names that differ only there stay apart.
    EXPECT_NE(shmObjectName("/a/b"), shmObjectName("/a.b"));
    EXPECT_EQ(shmObjectName("/a.b%"), "/flumina.a%2Eb%25");
    EXPECT_THROW(shmObjectName(""), std::invalid_argument);
    EXPECT_THROW(shmObjectName(std::string(300, 'x')), std::invalid_argument);
}

TEST_F(RegionTest, AttachCreatesAPrivateObjectLargeEnoughForA4kFrame) {
    const std::string n = name("create");
    AndroidAshmem* region = AndroidAshmem::attach_ashmem(n);
    ASSERT_NE(region, nullptr);
    struct stat st {};
    ASSERT_EQ(::stat(objectPath(n).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // The stand-in's write log takes a page ahead of the channel bytes.
    EXPECT_EQ(static_cast<std::size_t>(st.st_size), korvane::ipc::dev::WriteLog::kBytes + 8u + 3840u * 2160u * 3u);
    // Sparse until written: creating it cost (almost) no memory.
    EXPECT_LT(static_cast<std::size_t>(st.st_blocks) * 512, std::size_t{1} << 20);
}

std::size_t openDescriptors() {
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) count += entry.is_symlink();
    return count;
}

TEST_F(RegionTest, AttachingANameAgainReturnsTheRegionAlreadyMappedAndOthersSeeItsWrites) {
    const std::string n = name("shared");
    AndroidAshmem* writer = AndroidAshmem::attach_ashmem(n);
    const std::size_t descriptors = openDescriptors();
    for (int start = 0; start < 50; ++start) EXPECT_EQ(AndroidAshmem::attach_ashmem(n), writer);
    EXPECT_EQ(openDescriptors(), descriptors);
    auto other = ShmRegion::open(n);  // a mapping of its own, as another process has
    AndroidAshmem* reader = other.get();
    const char payload[] = "frame bytes";
    EXPECT_EQ(writer->write_bytes(payload, sizeof payload, 8), 0);
    char* seen = nullptr;
    reader->read_bytes(&seen, sizeof payload, 8, 0);
    EXPECT_STREQ(seen, payload);

    // read_bytes points into the mapping: a later write shows through the same pointer.
    writer->write_bytes("F", 1, 8);
    EXPECT_EQ(seen[0], 'F');
}

TEST_F(RegionTest, RefusesRangesPastTheEndAndTouchesNothing) {
    const std::string n = name("bounds");
    auto region = ShmRegion::open(n, 64);
    ASSERT_EQ(region->size(), 64u);
    const char ones[8] = {1, 1, 1, 1, 1, 1, 1, 1};
    ASSERT_EQ(region->write_bytes(ones, 8, 56), 0);

    char* out = nullptr;
    expectThrowWith<std::out_of_range>([&] { region->read_bytes(&out, 9, 56, 0); }, "of 64 bytes");
    expectThrowWith<std::out_of_range>([&] { region->read_bytes(&out, 1, SIZE_MAX, 0); }, "region " + n);
    // Offset plus length wrapping around must not pass the check.
    EXPECT_THROW(region->read_bytes(&out, SIZE_MAX, 2, 0), std::out_of_range);

    const char twos[9] = {2, 2, 2, 2, 2, 2, 2, 2, 2};
    EXPECT_LT(region->write_bytes(twos, 9, 56), 0);
    EXPECT_LT(region->write_bytes(twos, 2, 63), 0);
    region->read_bytes(&out, 8, 56, 0);
    EXPECT_EQ(std::memcmp(out, ones, 8), 0) << "a refused write changed the region";

    // The last byte and an empty range at the very end are inside.
    EXPECT_EQ(region->write_bytes(twos, 1, 63), 0);
    EXPECT_NO_THROW(region->read_bytes(&out, 0, 64, 0));
}

TEST_F(RegionTest, GrowsButNeverShrinksAndKeepsPointersValid) {
    const std::string n = name("grow");
    auto small = ShmRegion::open(n, 4096);
    char* first = nullptr;
    small->read_bytes(&first, 4, 0, 0);
    small->write_bytes("abcd", 4, 0);

    auto large = ShmRegion::open(n, 1 << 20);
    EXPECT_EQ(large->size(), std::size_t{1} << 20);
    // Another attach asking for less keeps the larger size.
    auto again = ShmRegion::open(n, 16);
    EXPECT_EQ(again->size(), std::size_t{1} << 20);

    // The older region maps the grown tail on demand, in place.
    large->write_bytes("tail", 4, (1 << 20) - 4);
    char* tail = nullptr;
    small->read_bytes(&tail, 4, (1 << 20) - 4, 0);
    EXPECT_EQ(std::string(tail, 4), "tail");
    EXPECT_EQ(std::string(first, 4), "abcd");
    small->read_bytes(&tail, 4, 0, 0);
    EXPECT_EQ(tail, first);
}

TEST_F(RegionTest, WordsRoundTripThroughTheOrderedOperations) {
    auto region = ShmRegion::open(name("words"), 64);
    region->store_word_release(4, 0x01020304u);
    EXPECT_EQ(region->load_word_acquire(4), 0x01020304u);
    char* raw = nullptr;
    region->read_bytes(&raw, 4, 4, 0);
    EXPECT_EQ(raw[0], 0x04) << "words are little-endian";
    char copy[3];
    region->copy_out(copy, 3, 4);
    EXPECT_EQ(copy[2], 0x02);
    EXPECT_THROW(region->copy_out(copy, 3, 62), std::out_of_range);
}

TEST_F(RegionTest, AnotherProcessSeesTheBytes) {
    const std::string n = name("process");
    AndroidAshmem* parent = AndroidAshmem::attach_ashmem(n);
    parent->write_bytes("ping", 4, 8);

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The child attaches by name, checks the parent's bytes and answers with its own.
        auto region = ShmRegion::open(n);
        char* seen = nullptr;
        region->read_bytes(&seen, 4, 8, 0);
        if (std::memcmp(seen, "ping", 4) != 0) ::_exit(2);
        region->write_bytes("pong", 4, 16);
        region->store_word_release(4, 1);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0) << "the child did not see the parent's bytes";
    char* flag = nullptr;
    parent->read_bytes(&flag, 4, 4, 0);
    EXPECT_EQ(__atomic_load_n(reinterpret_cast<std::int32_t*>(flag), __ATOMIC_ACQUIRE), 1);
    char* answer = nullptr;
    parent->read_bytes(&answer, 4, 16, 0);
    EXPECT_EQ(std::string(answer, 4), "pong");
}

TEST_F(RegionTest, TheHostReplacesAnObjectOthersMayWriteAndAnAttachedClientFollows) {
    const std::string n = name("foreign");
    auto client = ShmRegion::open(n, 64);
    ASSERT_EQ(::chmod(objectPath(n).c_str(), 0666), 0);
    char* held = nullptr;
    client->read_bytes(&held, 4, 0, 0);

    std::string replaced;
    auto host = ShmRegion::openOwned(n, 64, &replaced);
    EXPECT_NE(replaced.find("mode 0666"), std::string::npos) << replaced;
    struct stat st {};
    ASSERT_EQ(::stat(objectPath(n).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // The client's next access maps the new object where the old one was: its pointer now sees the host's words.
    EXPECT_EQ(client->write_bytes("abcd", 4, 8), 0);
    EXPECT_EQ(host->load_word_acquire(8), 0x64636261u);
    host->store_word_release(0, 7);
    EXPECT_EQ(held[0], 7);
    // The host's own object is used as it is.
    ShmRegion::openOwned(n, 64, &replaced);
    EXPECT_TRUE(replaced.empty()) << replaced;
}

TEST_F(RegionTest, SurvivesItsObjectShrunkByAnotherProcess) {
    korvane::ipc::dev::shrink_guard::survive();
    const std::string n = name("shrunk");
    auto region = ShmRegion::open(n, 1 << 20);
    region->store_word_release(0, 1);
    const int other = ::shm_open(shmObjectName(n).c_str(), O_RDWR, 0);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::ftruncate(other, 0), 0);
    ::close(other);
    EXPECT_FALSE(region->damaged());
    const std::vector<char> frame(1 << 19, 'x');
    region->write(frame.data(), frame.size(), 4096);  // past the object's end now: a SIGBUS without the guard
    EXPECT_TRUE(region->damaged());
}

TEST(RegionSymbol, TheComponentExportsTheNameClientsLookUp) {
    void* found = ::dlsym(RTLD_DEFAULT, korvane::ipc::kAttachAshmemSymbol);
    ASSERT_NE(found, nullptr) << ::dlerror();
    EXPECT_EQ(found, reinterpret_cast<void*>(&AndroidAshmem::attach_ashmem));
}
