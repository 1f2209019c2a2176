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
//     of the component; the handshake and its ordering are in channels.md.
//
// What the device's host may rely on is exactly the bytes of channels.h; the
// development stand-in's write log comes on top (channels.md says why).
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
