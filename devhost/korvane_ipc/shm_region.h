// Development stand-in for the host's shared-memory region component, over
// POSIX shared memory.
//
// Naming: a channel name maps to one shared-memory object under /dev/shm:
// "flumina." followed by the name without its leading slash, each '/' turned
// into '.' ('.' and '%' escaped as %2E and %25 so that the mapping is
// one-to-one). "/tmp/mmkv/tmp_ipc_rtsp0" is /dev/shm/flumina.tmp.mmkv.tmp_ipc_rtsp0.
//
// Object layout: a page of the stand-in's own (the write log, write_log.h),
// then the channel's bytes; offsets given to the region count from the
// channel's first byte, so the channel layout is exactly the contract's.
//
// Lifetime: whoever attaches first creates the object (mode 0600) with room
// for at least the capacity asked for; attach_ashmem asks for
// kDefaultCapacity, a 3840 x 2160 x 3 frame after the 8 header bytes, since a
// native client attaches before the host has answered. Pages cost nothing
// until written. An object is only ever grown, never shrunk, and only
// ShmRegion::remove() deletes it. A region object maps its object into a fixed
// address range reserved up front, so growing it (grow(), or a read past the
// old end after another process grew the object) keeps every pointer handed
// out valid. attach() keeps one region object per name and process, so a
// client that attaches a channel again gets the mapping it already has.
//
// The host attaches with openOwned(): it uses only objects of its own user
// that no other user may write, puts a new object in place of any other
// (clients that attached before follow it, see write_log.h), and reserves
// the memory of what it sizes, so that a full /dev/shm is an error when the
// host sizes a channel rather than a SIGBUS when someone writes into it.
// An object another process shrinks under the host is survived
// (shrink_guard.h); damaged() tells.
//
// Writers: who writes which word, and the handshake, are in
// contracts/channels.md. Every write_bytes()/write() goes through the write
// log (write_log.h). The host scales decoded frames straight into the input
// channel's payload through span(), unlogged: no copy, and clients of the
// input channel go by its ready flag alone.
//
// Memory ordering (AArch64 is weakly ordered):
//   - write half: every write_bytes()/write() is a release. A 4-byte write
//     at a 4-aligned offset is an atomic release store; longer writes are
//     preceded by a release fence; the write log's closing sequence step is a
//     release too, as the handshake needs (contracts/channels.md).
//   - read half: read_bytes() hands out a pointer and cannot order what the
//     caller does with it; the caller loads the flag through that pointer with
//     acquire semantics before it touches the payload (libflumina's getRGB
//     does). copy_out() and load_word_acquire() are acquires themselves.
//
// Thread safety: a region object may be used from several threads; growth
// takes a lock, reads and writes within the mapped size take none. Shared
// bytes themselves are not guarded beyond the handshake (contracts/channels.md).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "android_ashmem.h"
#include "channels.h"
#include "file_descriptor.h"
#include "write_log.h"

namespace korvane::ipc::dev {

// Shared-memory object name ("/flumina....") of a channel name.
std::string shmObjectName(const std::string& channel);

class ShmRegion final : public AndroidAshmem {
public:
    // Attaches the object of `name`, creating it or growing it to at least `capacity` channel bytes.
    static std::unique_ptr<ShmRegion> open(const std::string& name,
                                           std::size_t capacity = flumina::channels::kDefaultCapacity);
    // The region object of `name` in this process, opened on first use with the default capacity.
    static std::shared_ptr<ShmRegion> attach(const std::string& name);
    // A region that no other process can name (for tests): `name` is only for messages.
    static std::unique_ptr<ShmRegion> anonymous(const std::string& name, std::size_t capacity);
    // Bytes of shared memory that a region of `capacity` channel bytes takes.
    static std::size_t objectBytes(std::size_t capacity) { return WriteLog::kBytes + capacity; }
    // Deletes the object of `name`; attached regions keep their mapping. False if there was none.
    static bool remove(const std::string& name);
    // The host's attach (see the top of this file): an object of this user that
    // others cannot write, grown to `capacity` channel bytes backed by memory.
    // Throws std::system_error naming the object and what failed: it cannot be
    // replaced, or there is no room for it. `replaced`, when given, is set to
    // what the object it replaced was, or emptied.
    static std::unique_ptr<ShmRegion> openOwned(const std::string& name, std::size_t capacity,
                                                std::string* replaced = nullptr);

    ShmRegion(const ShmRegion&) = delete;
    ShmRegion& operator=(const ShmRegion&) = delete;
    ~ShmRegion() override;

    // Points *out at the bytes in the mapping; throws std::out_of_range past the end.
    void read_bytes(char** out, std::size_t length, std::size_t offset, int flag) override;
    // Copies into the mapping (release); returns 0, or -1 for a range past the end (nothing written).
    std::int8_t write_bytes(const char* data, std::size_t length, std::size_t offset) override;

    const std::string& name() const { return name_; }
    // Current size of the channel, as last seen by this region.
    std::size_t size() const { return size_.load(std::memory_order_acquire); }
    WriteLog& log() { return *log_; }
    // Whether another process shrank the object under this mapping; what was written past its end since is lost.
    bool damaged() const;

    // Pointer to [offset, offset + length), mapping more if the object grew; nullptr past the end.
    char* locate(std::size_t length, std::size_t offset);
    // As locate(), but throws std::out_of_range past the end.
    char* span(std::size_t length, std::size_t offset);
    // Copy out of the region, then acquire.
    void copy_out(char* destination, std::size_t length, std::size_t offset);
    // A logged write (release); throws std::out_of_range past the end.
    void write(const char* source, std::size_t length, std::size_t offset);
    std::uint32_t load_word_acquire(std::size_t offset);
    void store_word_release(std::size_t offset, std::uint32_t value);
    // Grows the object (never shrinks it) and this mapping to at least `capacity` channel bytes.
    void grow(std::size_t capacity);

private:
    ShmRegion(std::string name, FileDescriptor fd, char* mapping, std::size_t reserved);
    static std::unique_ptr<ShmRegion> fromDescriptor(const std::string& name, FileDescriptor fd, std::size_t capacity);
    // A new object of this user sized to `capacity`, put in place of what is under `name`.
    static std::unique_ptr<ShmRegion> replaceObject(const std::string& name, std::size_t capacity);
    // Backs the first `capacity` channel bytes with memory.
    void reserve(std::size_t capacity);
    // Maps up to the object's current size; true if [offset, offset + length) is then inside it.
    bool refresh(std::size_t length, std::size_t offset);
    [[noreturn]] void throwOutOfRange(const char* what, std::size_t length, std::size_t offset) const;
    void mapUpTo(std::size_t objectSize);
    // Maps the object now under this region's name in place of the one marked replaced.
    void followReplacement();
    void followReplacementLocked();
    // Copies into the mapping with the ordering described above; the range is checked.
    void copyIn(const char* source, std::size_t length, std::size_t offset);

    std::string name_;
    FileDescriptor fd_;
    char* mapping_ = nullptr;  // the write log, then the channel bytes
    char* base_ = nullptr;     // the channel's byte 0
    WriteLog* log_ = nullptr;
    std::size_t reserved_ = 0;
    std::atomic<std::size_t> size_{0};
    std::size_t mapped_ = 0;
    std::mutex growth_;
    int guardSlot_ = -1;  // in shrink_guard
};

}  // namespace korvane::ipc::dev
