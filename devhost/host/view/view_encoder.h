// The thread that makes the live view's pictures ("view"). For every tile
// someone watches it takes the tile's newest frame at most kMaxRate times a
// second, scales it to at most kMaxWidth pixels wide and compresses it to
// JPEG. It sleeps while no tile is watched, so an unwatched view costs
// nothing, and it takes frames only when they are offered, so a slow viewer
// never holds up a session: it only gets fewer pictures.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "view_board.h"
#include "view_tile.h"

namespace flumina::host {

class ViewEncoder {
public:
    static constexpr int kMaxRate = 15;
    static constexpr int kMaxWidth = 960;

    // A new picture of a tile, or a note that says why it has none.
    struct Update {
        Tile tile;
        std::shared_ptr<const std::string> jpeg;  // null with a note
        std::string note;
    };
    // Called on the encoder's thread.
    using Deliver = std::function<void(Update)>;

    ViewEncoder(const ViewBoard& board, Deliver deliver);
    // Stops the thread.
    ~ViewEncoder();
    ViewEncoder(const ViewEncoder&) = delete;
    ViewEncoder& operator=(const ViewEncoder&) = delete;

    // The tiles someone watches from now on (none: the thread sleeps).
    void watch(std::set<Tile> tiles);

private:
    struct TileState;
    void run();
    void serve(const Tile& tile, TileState& state);
    void note(const Tile& tile, TileState& state, const std::string& text);

    const ViewBoard& board_;
    Deliver deliver_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::set<Tile> watched_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace flumina::host
