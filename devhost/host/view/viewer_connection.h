// One page's WebSocket connection to the live view. The page says which
// tiles it watches with text messages {"session": N, "watch": [{"index": I,
// "kind": "shown" | "input" | "pushed"}, ...]}; it is sent the figures
// ({"status": ...}), notes ({"note": ...}) and pictures (pictureMessage).
// Only the newest unsent status and picture of each tile wait to be sent.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>

#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/websocket/stream.hpp>

#include "view_tile.h"

namespace flumina::host {

class ViewerHub;

class ViewerConnection : public std::enable_shared_from_this<ViewerConnection> {
public:
    using Message = std::shared_ptr<const std::string>;

    ViewerConnection(boost::beast::tcp_stream stream, std::shared_ptr<ViewerHub> hub);

    // Answers the page's upgrade request, then joins the hub.
    void start(boost::beast::http::request<boost::beast::http::string_body> upgrade);
    const std::set<Tile>& watching() const { return watching_; }
    void sendStatus(Message status);
    void sendNote(Message note);
    void sendPicture(const Tile& tile, Message picture);
    void close();

private:
    void read();
    void onMessage();
    void writeNext();
    void leave();

    boost::beast::websocket::stream<boost::beast::tcp_stream> socket_;
    std::shared_ptr<ViewerHub> hub_;
    boost::beast::flat_buffer in_;
    std::set<Tile> watching_;
    Message status_;
    std::deque<Message> notes_;
    std::map<Tile, Message> pictures_;
    Tile lastPicture_;
    Message writing_;
    bool joined_ = false;
};

}  // namespace flumina::host
