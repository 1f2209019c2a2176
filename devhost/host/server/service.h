// The TCP side of the service: accepts clients on 127.0.0.1 and answers each
// request line in order, several clients at once.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "request_handler.h"

namespace flumina::host {

class Service {
public:
    // Listens on 127.0.0.1:`port` (0: any free port); throws std::runtime_error saying why it cannot.
    Service(boost::asio::io_context& io, int port, RequestHandler& handler);
    // Waits for the requests still being answered (a shutdown makes them quick).
    ~Service();

    int port() const;
    // Stops accepting; connections end with the io_context.
    void close();

private:
    class Connection;
    void accept();
    // Answers `request` on a thread of its own: a "stream" request waits for its
    // own inputs and outputs to open, and no other request waits for it.
    void answerAside(std::shared_ptr<Connection> connection, Request request);

    boost::asio::ip::tcp::acceptor acceptor_;
    RequestHandler& handler_;
    std::uint64_t lastConnection_ = 0;
    std::size_t connections_ = 0;  // open now; only touched on the I/O thread
    std::mutex asideMutex_;
    std::condition_variable asideDone_;
    std::size_t aside_ = 0;        // requests answered on threads of their own
};

}  // namespace flumina::host
