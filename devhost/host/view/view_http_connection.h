// One HTTP connection to the live view: GET / is the page, GET /status the
// figures as JSON, and a WebSocket upgrade of /ws becomes a viewer. Only
// requests addressed to this host on 127.0.0.1 or localhost are answered, and
// only upgrades from its own page, so that no other web page a browser has
// open can read the frames.
#pragma once

#include <memory>
#include <optional>

#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

namespace flumina::host {

class ViewBoard;
class ViewerHub;

class ViewHttpConnection : public std::enable_shared_from_this<ViewHttpConnection> {
public:
    ViewHttpConnection(boost::asio::ip::tcp::socket socket, int port, ViewBoard& board, std::shared_ptr<ViewerHub> hub);
    void start() { read(); }

private:
    using Request = boost::beast::http::request<boost::beast::http::string_body>;
    using Response = boost::beast::http::response<boost::beast::http::string_body>;

    void read();
    void onRequest(Request request);
    Response answer(const Request& request);
    void send(Response response);
    bool addressedHere(const Request& request) const;
    bool fromOurPage(const Request& request) const;

    boost::beast::tcp_stream stream_;
    int port_;
    ViewBoard& board_;
    std::shared_ptr<ViewerHub> hub_;
    boost::beast::flat_buffer buffer_;
    std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser_;
    std::shared_ptr<Response> response_;
};

}  // namespace flumina::host
