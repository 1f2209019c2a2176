// The stand-in's private header of a region object: a sequence lock over the
// writes into the region, and the registration of the one process that takes
// what clients write into it (the development host, on the push and display
// channels). It lies in the shared-memory object ahead of the channel's own
// bytes, so the channel layout that clients and host share is untouched.
//
// Writers (every write_bytes / set_bytes / write()):
//   1. if a reader is registered and has not taken the last frame written at
//      its offset, wait until it has (bounded: kMaxWriterWait, and no wait at
//      all once the reader's process is gone);
//   2. sequence += 1 (odd: a write is in progress);
//   3. copy, record offset and length; a write at the reader's offset counts
//      one more frame (`written`);
//   4. sequence += 1 (even), with release ordering, and wake sleeping readers.
// A reader takes a frame only when the sequence is even, the last write was
// at its offset, and the sequence is unchanged after its copy; then it
// publishes `taken`. So no torn frame is ever taken, and a frame is lost only
// when a writer gave up waiting, which `written` - `taken` then tells.
//
// Replacement: the host refuses a channel object it cannot trust (another
// user's, or one others may write) and puts a new object of its own in its
// place under the same name. It then marks the old one replaced, so that a
// client that attached before (the native client attaches before its request)
// maps the new object at the old addresses on its next access: its pointers,
// its writes and the host's reader registration all carry over.
//
// Every field is a lock-free atomic, so the header works across processes;
// the 32-bit ones double as futex words.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace korvane::ipc::dev {

class WriteLog {
public:
    // Bytes the header takes at the start of a shared-memory object: one page,
    // so that the channel bytes after it keep their page alignment.
    static constexpr std::size_t kBytes = 4096;
    static constexpr std::uint32_t kNoReader = 0xffffffffu;
    // A writer waits at most this long for the reader, then writes anyway.
    static constexpr std::chrono::milliseconds kMaxWriterWait{2000};

    // Whether the header has been set up; objects made by another layout have not.
    bool valid() const;
    // Sets a zeroed (or foreign) header up: sequence 0, no reader.
    void initialise();

    // One write of `length` bytes at `offset`, done by `copy()` between the two
    // sequence steps (see the top of this file).
    template <class Copy>
    void write(std::size_t offset, std::size_t length, Copy&& copy) {
        waitForReader();
        sequence_.fetch_add(1, std::memory_order_seq_cst);
        copy();
        lastOffset_.store(offset, std::memory_order_relaxed);
        lastLength_.store(length, std::memory_order_relaxed);
        if (offset == readerOffset_.load(std::memory_order_relaxed)) written_.fetch_add(1, std::memory_order_relaxed);
        sequence_.fetch_add(1, std::memory_order_seq_cst);
        if (sleepers_.load(std::memory_order_seq_cst) != 0) wake(sequence_);
    }

    // The reader's side.
    std::uint32_t sequence() const { return sequence_.load(std::memory_order_acquire); }
    std::uint64_t lastOffset() const { return lastOffset_.load(std::memory_order_relaxed); }
    std::uint64_t lastLength() const { return lastLength_.load(std::memory_order_relaxed); }
    std::uint32_t written() const { return written_.load(std::memory_order_relaxed); }
    // Sleeps while the sequence is `seen`, at most `timeout`; true when it changed.
    bool waitForChange(std::uint32_t seen, std::chrono::milliseconds timeout);
    // Wakes every reader asleep in waitForChange (a reader that is stopping).
    void wakeReaders();

    // This process takes the frames written at `offset` from now on; earlier ones count as taken.
    void registerReader(std::uint32_t offset);
    // No reader any more: writers never wait.
    void unregisterReader();
    // The reader has taken every frame up to `written` (a value of written()).
    void markTaken(std::uint32_t written);

    // Whether the object holding this header was replaced under its name.
    bool replaced() const { return replaced_.load(std::memory_order_acquire) != 0; }
    // Marks the object open at `fd` replaced, through the descriptor alone (no
    // mapping of an object the host does not trust); false if it cannot be written.
    static bool markReplaced(int fd);

private:
    void waitForReader();
    static void wake(std::atomic<std::uint32_t>& word);

    std::uint32_t magic_;
    std::uint32_t version_;
    std::atomic<std::uint32_t> sequence_;
    std::atomic<std::uint32_t> sleepers_;  // readers asleep on sequence_
    std::atomic<std::uint64_t> lastOffset_;
    std::atomic<std::uint64_t> lastLength_;
    std::atomic<std::int32_t> readerPid_;  // 0: no reader
    std::atomic<std::uint32_t> readerOffset_;
    std::atomic<std::uint32_t> written_;   // frames completed at readerOffset_
    std::atomic<std::uint32_t> taken_;     // frames the reader took
    std::atomic<std::uint32_t> writersWaiting_;
    std::atomic<std::uint32_t> replaced_;
};

static_assert(sizeof(WriteLog) <= WriteLog::kBytes);
static_assert(std::atomic<std::uint64_t>::is_always_lock_free && std::atomic<std::uint32_t>::is_always_lock_free,
              "the header is shared between processes");

}  // namespace korvane::ipc::dev
