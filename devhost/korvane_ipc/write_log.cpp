#include "write_log.h"

#include <linux/futex.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <optional>

namespace korvane::ipc::dev {
namespace {

constexpr std::uint32_t kMagic = 0x4b4c4f47;  // "GOLK"
constexpr std::uint32_t kVersion = 2;
// How often a waiting writer looks whether the reader's process is still there.
constexpr std::chrono::milliseconds kReaderCheck{20};

// Not FUTEX_PRIVATE: the words live in memory shared between processes.
void futexWait(std::atomic<std::uint32_t>& word, std::uint32_t expected, std::chrono::milliseconds timeout) {
    const auto ms = timeout.count();
    timespec relative{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1'000'000};
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT, expected, &relative, nullptr, 0);
}

bool processGone(std::int32_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

}  // namespace

bool WriteLog::valid() const { return magic_ == kMagic && version_ == kVersion; }

void WriteLog::initialise() {
    sequence_.store(0);
    sleepers_.store(0);
    lastOffset_.store(0);
    lastLength_.store(0);
    readerPid_.store(0);
    readerOffset_.store(kNoReader);
    written_.store(0);
    taken_.store(0);
    writersWaiting_.store(0);
    replaced_.store(0);
    version_ = kVersion;
    magic_ = kMagic;
}

void WriteLog::wake(std::atomic<std::uint32_t>& word) {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

bool WriteLog::markReplaced(int fd) {
    const std::uint32_t one = 1;
    const auto at = static_cast<off_t>(offsetof(WriteLog, replaced_));
    return ::pwrite(fd, &one, sizeof one, at) == static_cast<ssize_t>(sizeof one);
}

bool WriteLog::waitForChange(std::uint32_t seen, std::chrono::milliseconds timeout) {
    sleepers_.fetch_add(1, std::memory_order_seq_cst);
    if (sequence_.load(std::memory_order_seq_cst) == seen) futexWait(sequence_, seen, timeout);
    sleepers_.fetch_sub(1, std::memory_order_seq_cst);
    return sequence_.load(std::memory_order_acquire) != seen;
}

void WriteLog::wakeReaders() { wake(sequence_); }

void WriteLog::registerReader(std::uint32_t offset) {
    readerOffset_.store(offset, std::memory_order_seq_cst);
    taken_.store(written_.load(std::memory_order_seq_cst), std::memory_order_seq_cst);
    readerPid_.store(static_cast<std::int32_t>(::getpid()), std::memory_order_seq_cst);
}

void WriteLog::unregisterReader() {
    readerPid_.store(0, std::memory_order_seq_cst);
    readerOffset_.store(kNoReader, std::memory_order_seq_cst);
    wake(taken_);
}

void WriteLog::markTaken(std::uint32_t written) {
    taken_.store(written, std::memory_order_seq_cst);
    if (writersWaiting_.load(std::memory_order_seq_cst) != 0) wake(taken_);
}

void WriteLog::waitForReader() {
    std::optional<std::chrono::steady_clock::time_point> deadline;  // taken only once a wait begins
    for (;;) {
        const std::int32_t reader = readerPid_.load(std::memory_order_seq_cst);
        const std::uint32_t taken = taken_.load(std::memory_order_seq_cst);
        if (reader == 0 || taken == written_.load(std::memory_order_seq_cst)) return;
        if (processGone(reader)) {
            // The reader died without unregistering: nobody will take the frame.
            std::int32_t expected = reader;
            readerPid_.compare_exchange_strong(expected, 0);
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (!deadline) deadline = now + kMaxWriterWait;
        if (now >= *deadline) return;  // the reader counts the frame as missed
        writersWaiting_.fetch_add(1, std::memory_order_seq_cst);
        if (taken_.load(std::memory_order_seq_cst) == taken) futexWait(taken_, taken, kReaderCheck);
        writersWaiting_.fetch_sub(1, std::memory_order_seq_cst);
    }
}

}  // namespace korvane::ipc::dev
