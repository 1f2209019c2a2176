#include "view_encoder.h"

#include <chrono>
#include <map>

#include "frame_layout.h"
#include "jpeg_encoder.h"
#include "log.h"
#include "thread_name.h"

namespace flumina::host {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPeriod = std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1)) / ViewEncoder::kMaxRate;
// How often watched tiles are looked at: shown frames are polled, taps may have filled.
constexpr auto kLook = std::chrono::milliseconds(10);

}  // namespace

struct ViewEncoder::TileState {
    std::optional<TileSource> source;
    Clock::time_point due{};          // no picture before this
    bool asked = false;               // the tap was asked for a frame
    std::uint64_t shownSeen = 0;      // frames shown when the last one was taken
    TappedFrame tapped;
    JpegEncoder jpeg;
    std::string lastNote;

    ~TileState() {
        if (source && source->tap) source->tap->cancel();
    }
};

ViewEncoder::ViewEncoder(const ViewBoard& board, Deliver deliver) : board_(board), deliver_(std::move(deliver)) {
    thread_ = std::thread([this] { run(); });
}

ViewEncoder::~ViewEncoder() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void ViewEncoder::watch(std::set<Tile> tiles) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        watched_ = std::move(tiles);
    }
    changed_.notify_all();
}

void ViewEncoder::run() {
    nameThisThread("view");
    std::map<Tile, TileState> states;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        const std::set<Tile> tiles = watched_;
        lock.unlock();
        for (auto it = states.begin(); it != states.end();)
            it = tiles.count(it->first) ? std::next(it) : states.erase(it);
        for (const Tile& tile : tiles) serve(tile, states[tile]);
        lock.lock();
        if (watched_.empty()) changed_.wait(lock, [this] { return stop_ || !watched_.empty(); });
        else changed_.wait_for(lock, kLook);
    }
}

void ViewEncoder::note(const Tile& tile, TileState& state, const std::string& text) {
    if (text == state.lastNote) return;
    state.lastNote = text;
    deliver_(Update{tile, nullptr, text});
}

void ViewEncoder::serve(const Tile& tile, TileState& state) {
    const auto now = Clock::now();
    try {
        if (!state.source) {
            state.source = board_.source(tile);
            if (!state.source) return;  // the session has ended; the page follows the next one
        }
        const TileSource& source = *state.source;
        if (!source.absent.empty()) return note(tile, state, source.absent);

        std::string jpeg;
        if (tile.kind == FrameKind::Shown) {
            if (now < state.due) return;
            const auto shown = board_.shownAfter(tile, state.shownSeen);
            if (!shown || !shown->first) return;
            state.shownSeen = shown->second;
            const std::vector<char>& frame = *shown->first;
            const auto layout = inferLayout(frame.size(), source.sizes, board_.rgbFormat());
            state.due = now + kPeriod;
            if (!layout) return note(tile, state, logLine("the client shows frames of ", frame.size(),
                                                          " bytes, which fit no size this stream uses"));
            jpeg = state.jpeg.encode(frame.data(), *layout, previewSize(layout->size, kMaxWidth));
        } else {
            if (!source.tap->take(state.tapped)) {
                // Asked when due, so that the picture is the frame of that moment.
                if (!state.asked && now >= state.due) {
                    source.tap->want();
                    state.asked = true;
                    state.due = now + kPeriod;
                }
                return;
            }
            state.asked = false;
            const TappedFrame& frame = state.tapped;
            if (frame.picture->data[0] != nullptr) {
                jpeg = state.jpeg.encode(*frame.picture, previewSize(source.sizes.front(), kMaxWidth));
                // The decoder's buffer goes back to it at once.
                av_frame_unref(frame.picture.get());
            } else {
                const auto layout = inferLayout(frame.bytes.size(), source.sizes, board_.rgbFormat());
                if (!layout) return note(tile, state, logLine("the client pushes frames of ", frame.bytes.size(),
                                                              " bytes, which fit no size this stream uses"));
                jpeg = state.jpeg.encode(frame.bytes.data(), *layout, previewSize(layout->size, kMaxWidth));
            }
        }
        state.lastNote.clear();
        deliver_(Update{tile, std::make_shared<const std::string>(std::move(jpeg)), {}});
    } catch (const std::exception& e) {
        state.due = now + std::chrono::seconds(1);
        note(tile, state, std::string("cannot make a picture: ") + e.what());
    }
}

}  // namespace flumina::host
