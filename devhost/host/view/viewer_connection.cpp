#include "viewer_connection.h"

#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

#include "host_limits.h"
#include "viewer_hub.h"

namespace flumina::host {

namespace beast = boost::beast;
namespace websocket = beast::websocket;

namespace {

// A page's watch message is small; anything larger is no page of ours.
constexpr std::size_t kMaxMessageBytes = 64 * 1024;
// Notes wait in order; a viewer this far behind loses the oldest.
constexpr std::size_t kMaxWaitingNotes = 64;

// The tiles a watch message names; the session's only when it names the session `current`.
std::set<Tile> tilesOf(const std::string& text) {
    std::set<Tile> tiles;
    const nlohmann::json message = nlohmann::json::parse(text, nullptr, false);
    if (!message.is_object() || !message.contains("session") || !message["session"].is_number_unsigned() ||
        !message.contains("watch") || !message["watch"].is_array())
        return tiles;
    const auto session = message["session"].get<std::uint64_t>();
    for (const nlohmann::json& entry : message["watch"]) {
        if (!entry.is_object() || !entry.contains("index") || !entry["index"].is_number_unsigned() ||
            !entry.contains("kind") || !entry["kind"].is_string())
            continue;
        const auto index = entry["index"].get<std::size_t>();
        const std::optional<FrameKind> kind = kindNamed(entry["kind"].get<std::string>());
        if (kind && index < kMaxStreamsPerSession) tiles.insert(Tile{session, index, *kind});
    }
    return tiles;
}

}  // namespace

ViewerConnection::ViewerConnection(beast::tcp_stream stream, std::shared_ptr<ViewerHub> hub)
    : socket_(std::move(stream)), hub_(std::move(hub)) {}

void ViewerConnection::start(beast::http::request<beast::http::string_body> upgrade) {
    beast::get_lowest_layer(socket_).expires_never();
    socket_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
    socket_.set_option(websocket::stream_base::decorator(
        [](websocket::response_type& response) { response.set(beast::http::field::server, "flumina-host"); }));
    socket_.read_message_max(kMaxMessageBytes);
    // A picture goes as one frame: fragments would only cost more writes.
    socket_.auto_fragment(false);
    auto self = shared_from_this();
    socket_.async_accept(upgrade, [self](beast::error_code error) {
        if (error) return;
        self->joined_ = true;
        self->hub_->add(self);
        self->read();
    });
}

void ViewerConnection::read() {
    auto self = shared_from_this();
    socket_.async_read(in_, [self](beast::error_code error, std::size_t) {
        if (error) return self->leave();
        self->onMessage();
        self->read();
    });
}

void ViewerConnection::onMessage() {
    const std::string text = beast::buffers_to_string(in_.data());
    in_.consume(in_.size());
    if (!socket_.got_text()) return;
    std::set<Tile> before = std::move(watching_);
    watching_ = tilesOf(text);
    hub_->watchChanged(*this, before);
}

void ViewerConnection::leave() {
    if (!joined_) return;
    joined_ = false;
    hub_->remove(this);
}

void ViewerConnection::sendStatus(Message status) {
    status_ = std::move(status);
    writeNext();
}

void ViewerConnection::sendNote(Message note) {
    if (notes_.size() >= kMaxWaitingNotes) notes_.pop_front();
    notes_.push_back(std::move(note));
    writeNext();
}

void ViewerConnection::sendPicture(const Tile& tile, Message picture) {
    pictures_[tile] = std::move(picture);
    writeNext();
}

void ViewerConnection::writeNext() {
    if (writing_ || !joined_) return;
    bool text = true;
    if (status_) {
        writing_ = std::move(status_);
        status_.reset();
    } else if (!notes_.empty()) {
        writing_ = std::move(notes_.front());
        notes_.pop_front();
    } else if (!pictures_.empty()) {
        // Tiles take turns, so that one with a picture always waiting holds up no other.
        auto next = pictures_.upper_bound(lastPicture_);
        if (next == pictures_.end()) next = pictures_.begin();
        lastPicture_ = next->first;
        writing_ = std::move(next->second);
        pictures_.erase(next);
        text = false;
    } else {
        return;
    }
    socket_.text(text);
    auto self = shared_from_this();
    socket_.async_write(boost::asio::buffer(*writing_), [self](beast::error_code error, std::size_t) {
        self->writing_.reset();
        if (error) return self->leave();
        self->writeNext();
    });
}

void ViewerConnection::close() {
    joined_ = false;
    beast::error_code ignored;
    beast::get_lowest_layer(socket_).socket().close(ignored);
}

}  // namespace flumina::host
