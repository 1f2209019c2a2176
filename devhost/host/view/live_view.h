// The live view: a web page on 127.0.0.1 that shows every stream of the
// running session as it goes (what the client shows, the decoded input or
// what it pushes) with its figures, and the figures as JSON at /status, all
// from a board that the session manager keeps up to date. It runs on the
// service's I/O thread, its pictures on a thread of their own.
#pragma once

#include <memory>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "view_board.h"
#include "view_encoder.h"

namespace flumina::host {

class ViewerHub;

class LiveView {
public:
    // Listens on 127.0.0.1:`port` (0: any free port); throws std::runtime_error saying why it cannot.
    LiveView(boost::asio::io_context& io, int port, ViewBoard& board);
    // Closes (see close()) and stops the picture thread.
    ~LiveView();
    LiveView(const LiveView&) = delete;
    LiveView& operator=(const LiveView&) = delete;

    int port() const { return port_; }
    // Stops accepting and closes every viewer.
    void close();

private:
    void accept();

    ViewBoard& board_;
    // The hub only keeps a reference to the encoder, which goes first: its thread delivers to the hub.
    std::shared_ptr<ViewerHub> hub_;
    ViewEncoder encoder_;
    boost::asio::ip::tcp::acceptor acceptor_;
    int port_ = 0;
};

}  // namespace flumina::host
