// A native client of the region component for the Python tests: attaches a
// channel through AndroidAshmem::attach_ashmem and reads or writes bytes with
// the virtual operations, as libflumina does.
//   region_peer write NAME OFFSET HEX     writes the bytes given in hex
//   region_peer read NAME OFFSET LENGTH   prints LENGTH bytes in hex
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "android_ashmem.h"

int main(int argc, char** argv) {
    if (argc != 5 || (std::strcmp(argv[1], "write") != 0 && std::strcmp(argv[1], "read") != 0)) {
        std::fprintf(stderr, "usage: region_peer write NAME OFFSET HEX | read NAME OFFSET LENGTH\n");
        return 2;
    }
    korvane::ipc::AndroidAshmem* region = korvane::ipc::AndroidAshmem::attach_ashmem(argv[2]);
    const std::size_t offset = std::strtoull(argv[3], nullptr, 10);
    if (std::strcmp(argv[1], "write") == 0) {
        std::string bytes;
        for (const char* hex = argv[4]; hex[0] != '\0' && hex[1] != '\0'; hex += 2)
            bytes += static_cast<char>(std::strtol(std::string(hex, 2).c_str(), nullptr, 16));
        return region->write_bytes(bytes.data(), bytes.size(), offset) == 0 ? 0 : 1;
    }
    const std::size_t length = std::strtoull(argv[4], nullptr, 10);
    char* bytes = nullptr;
    region->read_bytes(&bytes, length, offset, 0);
    for (std::size_t i = 0; i < length; ++i) std::printf("%02x", static_cast<unsigned char>(bytes[i]));
    std::printf("\n");
    return 0;
}
