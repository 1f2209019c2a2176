#include "live_view.h"

#include <boost/asio/post.hpp>

#include "log.h"
#include "loopback_listener.h"
#include "view_http_connection.h"
#include "viewer_hub.h"

namespace flumina::host {

using boost::asio::ip::tcp;

LiveView::LiveView(boost::asio::io_context& io, int port, ViewBoard& board)
    : board_(board), hub_(std::make_shared<ViewerHub>(io, board_, encoder_)),
      encoder_(board_,
               [&io, hub = std::weak_ptr<ViewerHub>(hub_)](ViewEncoder::Update update) {
                   boost::asio::post(io, [hub, update = std::move(update)]() mutable {
                       if (const auto alive = hub.lock()) alive->deliver(std::move(update));
                   });
               }),
      acceptor_(io) {
    try {
        listenOnLoopback(acceptor_, port);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(std::string("the view ") + e.what() + " (--view picks another port, --view off turns it off)");
    }
    port_ = acceptor_.local_endpoint().port();
    board_.onChange([&io, hub = std::weak_ptr<ViewerHub>(hub_)] {
        boost::asio::post(io, [hub] {
            if (const auto alive = hub.lock()) alive->sendStatus();
        });
    });
    log().watchErrors([this](const std::string& text, bool ofStream) { board_.noteError(text, ofStream); });
    accept();
}

LiveView::~LiveView() {
    log().watchErrors(nullptr);
    board_.onChange(nullptr);
    close();
}

void LiveView::close() {
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    hub_->close();
}

void LiveView::accept() {
    acceptor_.async_accept([this](const boost::system::error_code& error, tcp::socket socket) {
        if (error) return;  // closed
        std::make_shared<ViewHttpConnection>(std::move(socket), port_, board_, hub_)->start();
        accept();
    });
}

}  // namespace flumina::host
