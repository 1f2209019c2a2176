// The host's shared-memory region component, as the clients call it.
//
// On the device the implementation lives in a host library that is already
// loaded into the client's process; libflumina resolves attach_ashmem at run
// time and never links against it. Off the device, devhost/korvane_ipc
// implements it over POSIX shared memory; tests implement it with fakes.
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
