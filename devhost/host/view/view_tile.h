// A picture of the live view: one stream of one session, one kind of frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>

namespace flumina::host {

enum class FrameKind : std::uint8_t {
    Shown = 0,   // what the client shows (display channel)
    Input = 1,   // what the host decodes for the client (input channel)
    Pushed = 2,  // what the client pushes (push channel)
};

inline const char* kindName(FrameKind kind) {
    switch (kind) {
        case FrameKind::Shown: return "shown";
        case FrameKind::Input: return "input";
        case FrameKind::Pushed: return "pushed";
    }
    return "?";
}

inline std::optional<FrameKind> kindNamed(const std::string& name) {
    for (FrameKind kind : {FrameKind::Shown, FrameKind::Input, FrameKind::Pushed})
        if (name == kindName(kind)) return kind;
    return std::nullopt;
}

struct Tile {
    std::uint64_t session = 0;
    std::size_t index = 0;
    FrameKind kind = FrameKind::Shown;

    bool operator<(const Tile& o) const { return std::tie(session, index, kind) < std::tie(o.session, o.index, o.kind); }
    bool operator==(const Tile& o) const { return session == o.session && index == o.index && kind == o.kind; }
};

}  // namespace flumina::host
