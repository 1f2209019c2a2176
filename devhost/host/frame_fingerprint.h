// Tells whether a client has written a new frame into a channel that carries no signal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace flumina::host {

// A 64-bit digest of `bytes` bytes at `data` (FNV-style over 8-byte words:
// about a millisecond for a 1280 x 720 frame). Two different frames that
// digest the same are possible, and cost one frame not being taken.
inline std::uint64_t frameFingerprint(const char* data, std::size_t bytes) {
    std::uint64_t hash = 0xcbf29ce484222325ull ^ bytes;
    std::size_t at = 0;
    for (; at + 8 <= bytes; at += 8) {
        std::uint64_t word;
        std::memcpy(&word, data + at, 8);
        hash = (hash ^ word) * 0x100000001b3ull;
        hash ^= hash >> 29;
    }
    for (; at < bytes; ++at) hash = (hash ^ static_cast<unsigned char>(data[at])) * 0x100000001b3ull;
    return hash;
}

}  // namespace flumina::host
