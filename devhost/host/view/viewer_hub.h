// The live view's connected pages (viewers), on the I/O thread: which tiles
// they watch, which the encoder makes pictures for, and what each is sent:
// the figures every second and whenever a session starts or stops, and each
// new picture of the tiles it watches. A viewer that reads slowly gets the
// newest picture of a tile in place of the ones it has not taken yet.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "view_board.h"
#include "view_encoder.h"
#include "view_tile.h"

namespace flumina::host {

class ViewerConnection;

// A picture as a viewer receives it: 8 bytes (session number, 4 bytes; stream
// index, 2 bytes; frame kind, 1 byte; 0; all little-endian), then the JPEG.
std::string pictureMessage(const Tile& tile, const std::string& jpeg);

class ViewerHub : public std::enable_shared_from_this<ViewerHub> {
public:
    // Viewers a host takes at once; a page is one viewer.
    static constexpr std::size_t kMaxViewers = 16;

    ViewerHub(boost::asio::io_context& io, ViewBoard& board, ViewEncoder& encoder);

    bool full() const { return viewers_.size() >= kMaxViewers; }
    void add(const std::shared_ptr<ViewerConnection>& viewer);
    void remove(ViewerConnection* viewer);
    // `viewer` watches `tiles` now.
    void watchChanged(ViewerConnection& viewer, const std::set<Tile>& before);
    // A picture or note of the encoder.
    void deliver(ViewEncoder::Update update);
    // Sends every viewer the figures now.
    void sendStatus();
    // Closes every viewer; nothing is sent or watched from now on.
    void close();

private:
    void rewatch();
    void tick();

    ViewBoard& board_;
    ViewEncoder& encoder_;
    bool closed_ = false;
    std::map<ViewerConnection*, std::shared_ptr<ViewerConnection>> viewers_;
    // The last picture message and note of each tile, for viewers that start watching it.
    std::map<Tile, std::shared_ptr<const std::string>> pictures_;
    std::map<Tile, std::string> notes_;
    boost::asio::steady_timer ticker_;
    bool ticking_ = false;
};

}  // namespace flumina::host
