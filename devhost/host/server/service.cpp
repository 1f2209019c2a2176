#include "service.h"

#include <istream>
#include <thread>

#include <boost/asio/post.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include "host_limits.h"
#include "log.h"
#include "loopback_listener.h"
#include "request_line.h"

namespace flumina::host {

using boost::asio::ip::tcp;

// Lives while a read, a write or an answer is pending; every handler runs on the I/O thread.
class Service::Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(tcp::socket socket, std::uint64_t id, Service& service)
        : socket_(std::move(socket)), id_(id), service_(service), buffer_(kMaxRequestBytes + 1) {
        ++service_.connections_;
    }

    void readNext() {
        auto self = shared_from_this();
        boost::asio::async_read_until(socket_, buffer_, '\n', [self](const boost::system::error_code& error, std::size_t bytes) {
            self->onLine(error, bytes);
        });
    }

    // Answers nothing: says why and closes.
    void refuse(const std::string& why) {
        close_ = true;
        reply(replyLine(nullptr, nullptr, why));
    }

    void reply(std::string answer) {
        out_ = std::move(answer) + "\n";
        auto self = shared_from_this();
        boost::asio::async_write(socket_, boost::asio::buffer(out_), [self](const boost::system::error_code& error, std::size_t) {
            if (error) return self->ended();
            if (self->close_) {
                boost::system::error_code ignored;
                self->socket_.shutdown(tcp::socket::shutdown_both, ignored);
                self->socket_.close(ignored);
                return self->ended();
            }
            self->readNext();
        });
    }

    std::uint64_t id() const { return id_; }

private:
    void onLine(const boost::system::error_code& error, std::size_t bytes) {
        if (error == boost::asio::error::not_found)  // the buffer filled up without a line end
            return refuse("request line longer than " + std::to_string(kMaxRequestBytes) +
                          " bytes refused; closing the connection");
        if (error) return ended();  // the client went away
        std::string line(boost::asio::buffers_begin(buffer_.data()), boost::asio::buffers_begin(buffer_.data()) + bytes);
        buffer_.consume(bytes);
        line.pop_back();
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos) return readNext();  // a blank line is no request
        Request request = parseRequest(line);
        // A "stream" request opens inputs and waits for the running session to stop; anything else is answered at once.
        if (request.error.empty() && request.method == "stream")
            return service_.answerAside(shared_from_this(), std::move(request));
        reply(service_.handler_.handle(request, id_));
    }

    // The connection is over: counted out and, for a session's client, told.
    void ended() {
        if (ended_) return;
        ended_ = true;
        --service_.connections_;
        service_.handler_.connectionClosed(id_);
    }

    tcp::socket socket_;
    std::uint64_t id_;
    Service& service_;
    boost::asio::streambuf buffer_;
    std::string out_;
    bool close_ = false;
    bool ended_ = false;
};

Service::Service(boost::asio::io_context& io, int port, RequestHandler& handler) : acceptor_(io), handler_(handler) {
    listenOnLoopback(acceptor_, port);
    accept();
}

Service::~Service() {
    close();
    std::unique_lock<std::mutex> lock(asideMutex_);
    asideDone_.wait(lock, [&] { return aside_ == 0; });
}

int Service::port() const { return acceptor_.local_endpoint().port(); }

void Service::close() {
    boost::system::error_code ignored;
    acceptor_.close(ignored);
}

void Service::accept() {
    acceptor_.async_accept([this](const boost::system::error_code& error, tcp::socket socket) {
        if (error) return;  // closed
        auto connection = std::make_shared<Connection>(std::move(socket), ++lastConnection_, *this);
        if (connections_ > kMaxConnections) {
            log().line(logLine("connection ", connection->id(), " refused: ", kMaxConnections, " are open"));
            connection->refuse("the service serves at most " + std::to_string(kMaxConnections) +
                               " connections at once; closing this one");
        } else {
            connection->readNext();
        }
        accept();
    });
}

void Service::answerAside(std::shared_ptr<Connection> connection, Request request) {
    {
        std::lock_guard<std::mutex> lock(asideMutex_);
        ++aside_;
    }
    std::thread([this, connection = std::move(connection), request = std::move(request)]() mutable {
        std::string answer = handler_.handle(request, connection->id());
        boost::asio::post(acceptor_.get_executor(), [connection, answer = std::move(answer)]() mutable {
            connection->reply(std::move(answer));
        });
        // Nothing of the connection may outlive the count: the service may be gone right after it.
        connection.reset();
        std::lock_guard<std::mutex> lock(asideMutex_);
        if (--aside_ == 0) asideDone_.notify_all();
    }).detach();
}

}  // namespace flumina::host
