// The host's shared-memory region component, as the clients call it.
//
// On the device the implementation lives in a host library that is already
// loaded into the client's process; libflumina resolves attach_ashmem at run
// time and never links against it. Off the device, devhost/korvane_ipc
// implements it over POSIX shared memory; tests implement it with fakes.
//
// What the clients assume of any implementation:
//   - attach_ashmem(name) succeeds for every channel name and returns an
//     object that lives as long as the process; the region is large enough
//     for the header words and the largest frame at the offsets of channels.h.
//   - A write is visible to the peer with no further call, and the peer's
//     writes to the client likewise; the bytes behind a read_bytes pointer
//     stay readable until the next read through the same pointer variable.
//   - Ordering: the clients order their own accesses and assume nothing more
//     of the component. They load the ready flag with acquire ordering before
//     they read a payload, and put a release fence before the write that
//     clears the flag, so that on a weakly ordered CPU (AArch64) the clear
//     cannot overtake their reads of the frame. They assume the host writes a
//     frame's size word and payload before it sets the flag, with release
//     ordering.
//
// What the device's host may rely on is exactly the bytes of channels.h: the
// display and push channels carry no signal, each push or show overwrites
// size word and payload in place. The development stand-in adds, in a page
// of its own ahead of the channel bytes (never visible at any channel
// offset), a write log: a sequence that is odd while a write is in progress
// and the offset of the last write, so that the development host takes a
// pushed or shown frame only when it is complete and never misses one, and a
// reader registration that holds a client's next push back until the host
// has taken the last one (devhost/korvane_ipc/write_log.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace korvane::ipc {

class AndroidAshmem {
public:
    static AndroidAshmem* attach_ashmem(const std::string& name);
    virtual ~AndroidAshmem() = default;
    virtual void read_bytes(char** out, std::size_t length, std::size_t offset, int flag) = 0;
    virtual std::int8_t write_bytes(const char* data, std::size_t length, std::size_t offset) = 0;
};

}  // namespace korvane::ipc
