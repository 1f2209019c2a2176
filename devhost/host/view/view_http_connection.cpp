#include "view_http_connection.h"

#include <chrono>

#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include "view_board.h"
#include "view_page.h"
#include "viewer_connection.h"
#include "viewer_hub.h"

namespace flumina::host {

namespace beast = boost::beast;
namespace http = beast::http;

namespace {

constexpr auto kIdleTimeout = std::chrono::seconds(30);
// Requests of a page or a script are small.
constexpr std::uint32_t kMaxHeaderBytes = 8 * 1024;
constexpr std::uint64_t kMaxBodyBytes = 16 * 1024;

std::string pathOf(beast::string_view target) {
    const std::string whole(target);
    return whole.substr(0, whole.find('?'));
}

}  // namespace

ViewHttpConnection::ViewHttpConnection(boost::asio::ip::tcp::socket socket, int port, ViewBoard& board,
                                       std::shared_ptr<ViewerHub> hub)
    : stream_(std::move(socket)), port_(port), board_(board), hub_(std::move(hub)) {}

void ViewHttpConnection::read() {
    parser_.emplace();
    parser_->header_limit(kMaxHeaderBytes);
    parser_->body_limit(kMaxBodyBytes);
    stream_.expires_after(kIdleTimeout);
    auto self = shared_from_this();
    http::async_read(stream_, buffer_, *parser_, [self](beast::error_code error, std::size_t) {
        if (error) {
            // A request too large or not HTTP at all gets no answer: the connection just ends.
            beast::error_code ignored;
            self->stream_.socket().shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
            return;
        }
        self->onRequest(self->parser_->release());
    });
}

bool ViewHttpConnection::addressedHere(const Request& request) const {
    const beast::string_view host = request[http::field::host];
    const std::string port = ":" + std::to_string(port_);
    return host.empty() || host == "127.0.0.1" + port || host == "localhost" + port;
}

bool ViewHttpConnection::fromOurPage(const Request& request) const {
    const beast::string_view origin = request[http::field::origin];
    const std::string port = ":" + std::to_string(port_);
    return origin.empty() || origin == "http://127.0.0.1" + port || origin == "http://localhost" + port;
}

void ViewHttpConnection::onRequest(Request request) {
    if (beast::websocket::is_upgrade(request) && addressedHere(request) && pathOf(request.target()) == "/ws" &&
        fromOurPage(request) && !hub_->full()) {
        std::make_shared<ViewerConnection>(std::move(stream_), hub_)->start(std::move(request));
        return;
    }
    send(answer(request));
}

ViewHttpConnection::Response ViewHttpConnection::answer(const Request& request) {
    Response response{http::status::ok, request.version()};
    response.set(http::field::server, "flumina-host");
    response.set(http::field::cache_control, "no-store");
    response.keep_alive(request.keep_alive());
    auto say = [&](http::status status, const std::string& text) {
        response.result(status);
        response.set(http::field::content_type, "text/plain; charset=utf-8");
        response.body() = text + "\n";
    };
    const std::string path = pathOf(request.target());
    if (!addressedHere(request)) {
        say(http::status::misdirected_request,
            "this server answers only requests for 127.0.0.1:" + std::to_string(port_) + " or localhost:" + std::to_string(port_));
    } else if (request.method() != http::verb::get && request.method() != http::verb::head) {
        say(http::status::method_not_allowed, "only GET and HEAD are served here");
        response.set(http::field::allow, "GET, HEAD");
    } else if (path == "/" || path == "/index.html") {
        response.set(http::field::content_type, "text/html; charset=utf-8");
        response.body() = kViewPage;
    } else if (path == "/status") {
        response.set(http::field::content_type, "application/json");
        response.body() = board_.status().dump() + "\n";
    } else if (path == "/ws") {
        if (!beast::websocket::is_upgrade(request)) say(http::status::upgrade_required, "/ws takes WebSocket connections");
        else if (!fromOurPage(request)) say(http::status::forbidden, "WebSocket connections are taken from the view's own page only");
        else say(http::status::service_unavailable, "too many viewers are connected; close one and try again");
    } else {
        say(http::status::not_found, "no such page: " + path + " (the view is at /, its figures as JSON at /status)");
    }
    response.prepare_payload();
    if (request.method() == http::verb::head) {
        const auto length = response.body().size();
        response.body().clear();
        response.content_length(length);
    }
    return response;
}

void ViewHttpConnection::send(Response response) {
    response_ = std::make_shared<Response>(std::move(response));
    auto self = shared_from_this();
    http::async_write(stream_, *response_, [self](beast::error_code error, std::size_t) {
        const bool again = self->response_->keep_alive();
        self->response_.reset();
        if (error) return;
        if (again) return self->read();
        beast::error_code ignored;
        self->stream_.socket().shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
    });
}

}  // namespace flumina::host
