// The seeds of a fuzz target's corpus (tests/fuzz/corpus/TARGET), for the unit tests to run through the parsers too.
#pragma once

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace flumina::host {

// Each seed's text by its file name.
inline std::map<std::string, std::string> fuzzSeeds(const std::string& target) {
    std::map<std::string, std::string> seeds;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(FLUMINA_FUZZ_CORPUS) / target)) {
        std::ifstream file(entry.path(), std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        seeds[entry.path().filename().string()] = text.str();
    }
    return seeds;
}

}  // namespace flumina::host
