// The TCP side of the service: accepts clients on 127.0.0.1 and answers each
// request line in order, several clients at once.
#pragma once

#include <cstddef>
#include <memory>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/thread_pool.hpp>

#include "request_handler.h"

namespace flumina::host {

// A request line may be this long; a longer one is refused and its connection closed.
inline constexpr std::size_t kMaxRequestBytes = std::size_t{4} << 20;

class Service {
public:
    // Listens on 127.0.0.1:`port` (0: any free port); throws std::runtime_error saying why it cannot.
    Service(boost::asio::io_context& io, int port, RequestHandler& handler);
    ~Service();

    int port() const;
    // Stops accepting; connections end with the io_context.
    void close();

private:
    class Connection;
    void accept();

    boost::asio::io_context& io_;
    boost::asio::ip::tcp::acceptor acceptor_;
    RequestHandler& handler_;
    std::uint64_t connections_ = 0;  // the last connection's number
    // "stream" requests run here, so that one that opens a network input holds
    // up no other client; the rest are answered on the I/O thread.
    boost::asio::thread_pool workers_{4};
};

}  // namespace flumina::host
