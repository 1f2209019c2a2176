#include "shm_region.h"

#include "shrink_guard.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

namespace korvane::ipc::dev {
namespace {

// Address space reserved per region; a region can grow up to this without moving.
constexpr std::size_t kMinReserve = std::size_t{1} << 29;  // 512 MiB

std::size_t pageSize() {
    static const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return page;
}

std::size_t roundUp(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

[[noreturn]] void throwErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

bool inside(std::size_t length, std::size_t offset, std::size_t size) {
    return length <= size && offset <= size - length;
}

bool wordAligned(const void* p) { return reinterpret_cast<std::uintptr_t>(p) % alignof(std::uint32_t) == 0; }


// Where glibc keeps the objects of shm_open, which rename() then reaches.
constexpr const char* kShmFolder = "/dev/shm";

// Whether the host may use an object as it is: its own user's, a regular file
// of one link that no other user may write.
bool trusted(const struct stat& st) {
    return S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0 &&
           st.st_nlink == 1;
}

std::string describe(const struct stat& st) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    std::string kind = S_ISREG(st.st_mode) ? "" : S_ISDIR(st.st_mode) ? "a folder, " : S_ISFIFO(st.st_mode) ? "a FIFO, " : "no regular file, ";
    return kind + "owned by uid " + std::to_string(st.st_uid) + ", mode " + mode + ", " + std::to_string(st.st_nlink) +
           (st.st_nlink == 1 ? " link" : " links");
}

std::size_t objectSize(int fd, const std::string& shm) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) throwErrno("cannot stat shared-memory object " + shm);
    return static_cast<std::size_t>(st.st_size);
}

}  // namespace

std::string shmObjectName(const std::string& channel) {
    if (channel.empty()) throw std::invalid_argument("cannot attach a region with an empty name");
    std::string out = "/flumina.";
    for (std::size_t i = channel[0] == '/' ? 1 : 0; i < channel.size(); ++i) {
        switch (char c = channel[i]) {
            case '/': out += '.'; break;
            case '.': out += "%2E"; break;
            case '%': out += "%25"; break;
            case '\0': throw std::invalid_argument("cannot attach region: its name holds a NUL byte");
            default: out += c;
        }
    }
    if (out.size() > NAME_MAX)
        throw std::invalid_argument("cannot attach region " + channel + ": name too long for a shared-memory object");
    return out;
}

std::unique_ptr<ShmRegion> ShmRegion::open(const std::string& name, std::size_t capacity) {
    const std::string shm = shmObjectName(name);
    FileDescriptor fd(::shm_open(shm.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!fd) throwErrno("cannot open shared-memory object " + shm + " for region " + name);
    return fromDescriptor(name, std::move(fd), capacity);
}

std::unique_ptr<ShmRegion> ShmRegion::anonymous(const std::string& name, std::size_t capacity) {
    FileDescriptor fd(::memfd_create(name.c_str(), MFD_CLOEXEC));
    if (!fd) throwErrno("cannot create anonymous region " + name);
    return fromDescriptor(name, std::move(fd), capacity);
}

std::shared_ptr<ShmRegion> ShmRegion::attach(const std::string& name) {
    // Kept for the life of the process: clients hold the plain pointers for ever.
    static std::mutex lock;
    static auto* attached = new std::map<std::string, std::shared_ptr<ShmRegion>>();
    std::lock_guard<std::mutex> guard(lock);
    std::shared_ptr<ShmRegion>& region = (*attached)[name];
    if (!region) region = open(name);
    return region;
}

std::unique_ptr<ShmRegion> ShmRegion::fromDescriptor(const std::string& name, FileDescriptor fd, std::size_t capacity) {
    const std::size_t reserve = roundUp(WriteLog::kBytes + std::max(kMinReserve, capacity), pageSize());
    void* mapping = ::mmap(nullptr, reserve, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapping == MAP_FAILED) throwErrno("cannot reserve " + std::to_string(reserve) + " bytes for region " + name);

    std::unique_ptr<ShmRegion> region(new ShmRegion(name, std::move(fd), static_cast<char*>(mapping), reserve));
    region->grow(capacity);
    return region;
}

std::unique_ptr<ShmRegion> ShmRegion::openOwned(const std::string& name, std::size_t capacity, std::string* replaced) {
    const std::string shm = shmObjectName(name);
    if (replaced != nullptr) replaced->clear();
    // Non-blocking: a FIFO put in a channel's place does not hold the host up.
    FileDescriptor fd(::shm_open(shm.c_str(), O_RDWR | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0600));
    struct stat st {};
    const bool inspected = fd && ::fstat(fd.get(), &st) == 0;
    std::unique_ptr<ShmRegion> region;
    if (inspected && trusted(st)) {
        region = fromDescriptor(name, std::move(fd), capacity);
    } else {
        const std::string what = inspected ? describe(st) : std::string("unreadable: ") + std::strerror(errno);
        region = replaceObject(name, capacity);
        // A client that attached to the old object follows to the new one.
        if (inspected && S_ISREG(st.st_mode)) WriteLog::markReplaced(fd.get());
        if (replaced != nullptr) *replaced = what;
    }
    region->reserve(capacity);
    return region;
}

std::unique_ptr<ShmRegion> ShmRegion::replaceObject(const std::string& name, std::size_t capacity) {
    static std::atomic<unsigned> made{0};
    const std::string shm = shmObjectName(name);
    const std::string fresh = shm + ".new" + std::to_string(::getpid()) + "." + std::to_string(made++);
    FileDescriptor fd(::shm_open(fresh.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd) throwErrno("cannot create shared-memory object " + fresh + " to replace " + kShmFolder + shm);
    try {
        std::unique_ptr<ShmRegion> region = fromDescriptor(name, std::move(fd), capacity);
        // Atomic: the name never goes missing, and nobody gets a foot in between.
        if (::rename((kShmFolder + fresh).c_str(), (kShmFolder + shm).c_str()) != 0)
            throwErrno(std::string("cannot replace channel object ") + kShmFolder + shm +
                       ", which another user owns or may write; remove it");
        return region;
    } catch (...) {
        ::shm_unlink(fresh.c_str());
        throw;
    }
}

void ShmRegion::reserve(std::size_t capacity) {
    const std::size_t bytes = objectBytes(capacity);
    const int error = ::posix_fallocate(fd_.get(), 0, static_cast<off_t>(bytes));
    if (error != 0)
        throw std::system_error(error, std::generic_category(),
                                "cannot reserve " + std::to_string(bytes) + " bytes of memory for channel " + name_ +
                                    " (" + kShmFolder + shmObjectName(name_) + ")");
}

bool ShmRegion::remove(const std::string& name) {
    const std::string shm = shmObjectName(name);
    if (::shm_unlink(shm.c_str()) == 0) return true;
    if (errno == ENOENT) return false;
    throwErrno("cannot remove shared-memory object " + shm);
}

ShmRegion::ShmRegion(std::string name, FileDescriptor fd, char* mapping, std::size_t reserved)
    : name_(std::move(name)), fd_(std::move(fd)), mapping_(mapping), base_(mapping + WriteLog::kBytes),
      log_(reinterpret_cast<WriteLog*>(mapping)), reserved_(reserved), guardSlot_(shrink_guard::add(mapping, 0)) {}

ShmRegion::~ShmRegion() {
    shrink_guard::remove(guardSlot_);
    ::munmap(mapping_, reserved_);
}

void ShmRegion::grow(std::size_t capacity) {
    if (capacity > reserved_ - WriteLog::kBytes)
        throw std::length_error("cannot grow region " + name_ + " to " + std::to_string(capacity) +
                                " bytes: at most " + std::to_string(reserved_ - WriteLog::kBytes) +
                                " bytes fit its reservation");
    const std::size_t wanted = objectBytes(capacity);
    std::lock_guard<std::mutex> lock(growth_);
    // The lock on the object keeps two processes that grow it at once from
    // shrinking it back (each checks the size under the lock).
    if (::flock(fd_.get(), LOCK_EX) != 0) throwErrno("cannot lock region " + name_);
    std::size_t current;
    try {
        current = objectSize(fd_.get(), name_);
        if (current < wanted) {
            if (::ftruncate(fd_.get(), static_cast<off_t>(wanted)) != 0)
                throwErrno("cannot size region " + name_ + " to " + std::to_string(capacity) + " bytes");
            current = wanted;
        }
        mapUpTo(current);
        // A new object (or one of another layout) gets its write log set up once, under the lock.
        if (!log_->valid()) log_->initialise();
    } catch (...) {
        ::flock(fd_.get(), LOCK_UN);
        throw;
    }
    ::flock(fd_.get(), LOCK_UN);
}

void ShmRegion::mapUpTo(std::size_t objectSize) {
    const std::size_t visible = std::min(objectSize, reserved_);
    const std::size_t want = roundUp(visible, pageSize());
    if (want > mapped_) {
        // Map only the new tail, at its fixed place in the reservation: pages
        // mapped before, and every pointer into them, stay as they are.
        void* at = ::mmap(mapping_ + mapped_, want - mapped_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd_.get(),
                          static_cast<off_t>(mapped_));
        if (at == MAP_FAILED)
            throwErrno("cannot map region " + name_ + " of " + std::to_string(objectSize) + " bytes");
        mapped_ = want;
        shrink_guard::resize(guardSlot_, mapped_);
    }
    const std::size_t channel = visible > WriteLog::kBytes ? visible - WriteLog::kBytes : 0;
    if (channel > size_.load(std::memory_order_relaxed)) size_.store(channel, std::memory_order_release);
}

bool ShmRegion::damaged() const { return shrink_guard::damaged(guardSlot_); }

void ShmRegion::followReplacement() {
    if (!log_->replaced()) return;
    std::lock_guard<std::mutex> lock(growth_);
    followReplacementLocked();
}

void ShmRegion::followReplacementLocked() {
    if (!log_->replaced()) return;
    FileDescriptor fd(::shm_open(shmObjectName(name_).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC, 0));
    struct stat now {}, old {};
    if (fd.get() < 0 || ::fstat(fd.get(), &now) != 0 || !S_ISREG(now.st_mode) || ::fstat(fd_.get(), &old) != 0 ||
        (now.st_dev == old.st_dev && now.st_ino == old.st_ino))
        return;  // no new object yet: the old one serves until there is
    // The new object holds at least what this region has handed out, so that every pointer stays backed.
    const std::size_t wanted = objectBytes(size());
    if (::flock(fd.get(), LOCK_EX) != 0) return;
    const bool big = objectSize(fd.get(), name_) >= wanted || ::ftruncate(fd.get(), static_cast<off_t>(wanted)) == 0;
    ::flock(fd.get(), LOCK_UN);
    if (!big) return;
    if (::mmap(mapping_, mapped_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd.get(), 0) == MAP_FAILED) return;
    fd_ = std::move(fd);
}

bool ShmRegion::refresh(std::size_t length, std::size_t offset) {
    std::lock_guard<std::mutex> lock(growth_);
    mapUpTo(objectSize(fd_.get(), name_));
    return inside(length, offset, size());
}

void ShmRegion::throwOutOfRange(const char* what, std::size_t length, std::size_t offset) const {
    throw std::out_of_range(std::string("cannot ") + what + " bytes [" + std::to_string(offset) + ", " +
                            std::to_string(offset) + " + " + std::to_string(length) + ") of region " + name_ +
                            " of " + std::to_string(size()) + " bytes");
}

char* ShmRegion::locate(std::size_t length, std::size_t offset) {
    followReplacement();
    if (!inside(length, offset, size()) && !refresh(length, offset)) return nullptr;
    return base_ + offset;
}

char* ShmRegion::span(std::size_t length, std::size_t offset) {
    char* at = locate(length, offset);
    if (at == nullptr) throwOutOfRange("access", length, offset);
    return at;
}

void ShmRegion::read_bytes(char** out, std::size_t length, std::size_t offset, int /*flag*/) {
    char* at = locate(length, offset);
    if (at == nullptr) throwOutOfRange("read", length, offset);
    *out = at;
}

std::int8_t ShmRegion::write_bytes(const char* data, std::size_t length, std::size_t offset) {
    if (locate(length, offset) == nullptr) return -1;
    log_->write(offset, length, [&] { copyIn(data, length, offset); });
    return 0;
}

void ShmRegion::copy_out(char* destination, std::size_t length, std::size_t offset) {
    char* from = span(length, offset);
    if (length == 4 && wordAligned(from)) {
        const std::uint32_t word = __atomic_load_n(reinterpret_cast<std::uint32_t*>(from), __ATOMIC_ACQUIRE);
        std::memcpy(destination, &word, 4);
        return;
    }
    if (length != 0) std::memcpy(destination, from, length);
    std::atomic_thread_fence(std::memory_order_acquire);
}

void ShmRegion::write(const char* source, std::size_t length, std::size_t offset) {
    span(length, offset);
    log_->write(offset, length, [&] { copyIn(source, length, offset); });
}

void ShmRegion::copyIn(const char* source, std::size_t length, std::size_t offset) {
    char* to = base_ + offset;
    if (length == 4 && wordAligned(to)) {
        std::uint32_t word;
        std::memcpy(&word, source, 4);
        __atomic_store_n(reinterpret_cast<std::uint32_t*>(to), word, __ATOMIC_RELEASE);
        return;
    }
    std::atomic_thread_fence(std::memory_order_release);
    if (length != 0) std::memcpy(to, source, length);
}

std::uint32_t ShmRegion::load_word_acquire(std::size_t offset) {
    std::uint32_t word;
    copy_out(reinterpret_cast<char*>(&word), 4, offset);
    return word;  // little-endian hosts only (x86-64, AArch64)
}

void ShmRegion::store_word_release(std::size_t offset, std::uint32_t value) {
    write(reinterpret_cast<const char*>(&value), 4, offset);
}

}  // namespace korvane::ipc::dev

// The component's entry point, as the clients resolve it. Clients store the
// pointer and never free it; attach() keeps the object for the rest of the
// process, one per name, so attaching again maps nothing new.
korvane::ipc::AndroidAshmem* korvane::ipc::AndroidAshmem::attach_ashmem(const std::string& name) {
    return korvane::ipc::dev::ShmRegion::attach(name).get();
}
