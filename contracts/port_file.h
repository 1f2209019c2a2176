// Where clients find the host stream service: 127.0.0.1, on the port that the
// first line of the port file names, else the default. Every reader of the
// port file (libflumina, the host stand-in, and the Python bridge stand-in,
// which mirrors this in devhost/python/android.py) follows this one rule.
#pragma once

#include <fstream>
#include <stdexcept>
#include <string>

namespace flumina::service {

inline constexpr const char* kHost = "127.0.0.1";
inline constexpr const char* kPortFile = "/etc/opt/korvane/ap_port";
inline constexpr int kDefaultPort = 43329;

// The first line of a port file, read as std::stoi reads it: leading white
// space, an optional sign and digits; the rest of the line is ignored.
struct PortLine {
    enum class Kind { Unreadable, NoNumber, TooLarge, Number };
    Kind kind = Kind::Unreadable;  // Unreadable: missing, unreadable or empty file
    int number = -1;
    std::string problem;           // the conversion's own text, for NoNumber and TooLarge
};

inline PortLine readPortLine(const std::string& path) {
    PortLine result;
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) return result;
    try {
        result.number = std::stoi(line);
        result.kind = PortLine::Kind::Number;
    } catch (const std::invalid_argument& e) {
        result.kind = PortLine::Kind::NoNumber;
        result.problem = e.what();
    } catch (const std::out_of_range& e) {
        result.kind = PortLine::Kind::TooLarge;
        result.problem = e.what();
    }
    return result;
}

// The port the clients connect to: the number, unless the file gives none or -1.
// No range check: a number that is no TCP port makes the connection fail.
inline int portOf(const PortLine& line) {
    return line.kind == PortLine::Kind::Number && line.number != -1 ? line.number : kDefaultPort;
}

}  // namespace flumina::service
