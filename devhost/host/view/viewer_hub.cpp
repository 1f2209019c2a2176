#include "viewer_hub.h"

#include <chrono>

#include <boost/asio/post.hpp>
#include <nlohmann/json.hpp>

#include "viewer_connection.h"

namespace flumina::host {
namespace {

constexpr auto kStatusEvery = std::chrono::seconds(1);

void putLittleEndian(std::string& into, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) into.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

ViewerConnection::Message noteMessage(const Tile& tile, const std::string& text) {
    const nlohmann::json note = {
        {"note", {{"session", tile.session}, {"index", tile.index}, {"kind", kindName(tile.kind)}, {"text", text}}}};
    return std::make_shared<const std::string>(note.dump());
}

}  // namespace

std::string pictureMessage(const Tile& tile, const std::string& jpeg) {
    std::string message;
    message.reserve(8 + jpeg.size());
    putLittleEndian(message, tile.session, 4);
    putLittleEndian(message, tile.index, 2);
    putLittleEndian(message, static_cast<std::uint8_t>(tile.kind), 1);
    message.push_back('\0');
    message += jpeg;
    return message;
}

ViewerHub::ViewerHub(boost::asio::io_context& io, ViewBoard& board, ViewEncoder& encoder)
    : board_(board), encoder_(encoder), ticker_(io) {}

void ViewerHub::add(const std::shared_ptr<ViewerConnection>& viewer) {
    if (closed_) return viewer->close();
    viewers_[viewer.get()] = viewer;
    viewer->sendStatus(std::make_shared<const std::string>(nlohmann::json{{"status", board_.status()}}.dump()));
    if (!ticking_) tick();
}

void ViewerHub::remove(ViewerConnection* viewer) {
    if (closed_ || viewers_.erase(viewer) == 0) return;
    rewatch();
    if (viewers_.empty()) {
        ticker_.cancel();
        ticking_ = false;
    }
}

void ViewerHub::watchChanged(ViewerConnection& viewer, const std::set<Tile>& before) {
    if (closed_) return;
    // A tile the viewer has just turned to shows the last picture made of it at once.
    for (const Tile& tile : viewer.watching()) {
        if (before.count(tile)) continue;
        if (const auto note = notes_.find(tile); note != notes_.end()) viewer.sendNote(noteMessage(tile, note->second));
        if (const auto picture = pictures_.find(tile); picture != pictures_.end())
            viewer.sendPicture(tile, picture->second);
    }
    rewatch();
}

void ViewerHub::rewatch() {
    std::set<Tile> tiles;
    for (const auto& [_, viewer] : viewers_) tiles.insert(viewer->watching().begin(), viewer->watching().end());
    // What was kept of tiles nobody watches any more is of no use.
    for (auto it = pictures_.begin(); it != pictures_.end();) it = tiles.count(it->first) ? std::next(it) : pictures_.erase(it);
    for (auto it = notes_.begin(); it != notes_.end();) it = tiles.count(it->first) ? std::next(it) : notes_.erase(it);
    encoder_.watch(std::move(tiles));
}

void ViewerHub::deliver(ViewEncoder::Update update) {
    if (closed_) return;
    const Tile& tile = update.tile;
    if (update.jpeg) {
        notes_.erase(tile);
        auto message = std::make_shared<const std::string>(pictureMessage(tile, *update.jpeg));
        pictures_[tile] = message;
        for (const auto& [_, viewer] : viewers_)
            if (viewer->watching().count(tile)) viewer->sendPicture(tile, message);
    } else {
        notes_[tile] = update.note;
        auto message = noteMessage(tile, update.note);
        for (const auto& [_, viewer] : viewers_)
            if (viewer->watching().count(tile)) viewer->sendNote(message);
    }
}

void ViewerHub::sendStatus() {
    if (closed_ || viewers_.empty()) return;
    auto message = std::make_shared<const std::string>(nlohmann::json{{"status", board_.status()}}.dump());
    for (const auto& [_, viewer] : viewers_) viewer->sendStatus(message);
}

void ViewerHub::tick() {
    ticking_ = true;
    ticker_.expires_after(kStatusEvery);
    ticker_.async_wait([weak = weak_from_this()](const boost::system::error_code& error) {
        const auto hub = weak.lock();
        if (error || !hub || hub->closed_ || hub->viewers_.empty()) return;
        hub->sendStatus();
        hub->tick();
    });
}

void ViewerHub::close() {
    if (closed_) return;
    closed_ = true;
    ticker_.cancel();
    auto viewers = std::move(viewers_);
    viewers_.clear();
    for (const auto& [_, viewer] : viewers) viewer->close();
    encoder_.watch({});
}

}  // namespace flumina::host
