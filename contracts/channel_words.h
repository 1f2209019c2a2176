// The 4-byte little-endian words of the frame channels, whatever the byte
// order of the machine.
#pragma once

#include <cstdint>

namespace flumina::channels {

inline std::uint32_t loadWord(const char* bytes) {
    const auto* b = reinterpret_cast<const unsigned char*>(bytes);
    return std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 | std::uint32_t{b[3]} << 24;
}

inline void storeWord(char* bytes, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

}  // namespace flumina::channels
