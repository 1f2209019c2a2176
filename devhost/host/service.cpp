#include "service.h"

#include <istream>

#include <boost/asio/post.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include "log.h"
#include "loopback_listener.h"

namespace flumina::host {

using boost::asio::ip::tcp;

class Service::Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(tcp::socket socket, std::uint64_t id, RequestHandler& handler, boost::asio::thread_pool& workers)
        : socket_(std::move(socket)), id_(id), handler_(handler), workers_(workers), buffer_(kMaxRequestBytes + 1) {}
    ~Connection() { handler_.connectionClosed(id_); }

    void readNext() {
        auto self = shared_from_this();
        boost::asio::async_read_until(socket_, buffer_, '\n', [self](const boost::system::error_code& error, std::size_t bytes) {
            self->onLine(error, bytes);
        });
    }

private:
    void onLine(const boost::system::error_code& error, std::size_t bytes) {
        if (error == boost::asio::error::not_found) {
            // The buffer filled up without a line end.
            close = true;
            reply(RequestHandler::errorReply(nullptr, "request line longer than " + std::to_string(kMaxRequestBytes) +
                                                          " bytes refused; closing the connection"));
            return;
        }
        if (error) return;  // the client went away
        std::string line(boost::asio::buffers_begin(buffer_.data()), boost::asio::buffers_begin(buffer_.data()) + bytes);
        buffer_.consume(bytes);
        line.pop_back();
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos) {  // a blank line is no request
            readNext();
            return;
        }
        if (!RequestHandler::mayTakeLong(line)) {
            reply(handler_.handle(line, id_));
            return;
        }
        auto self = shared_from_this();
        boost::asio::post(workers_, [self, line = std::move(line)] {
            std::string answer = self->handler_.handle(line, self->id_);
            boost::asio::post(self->socket_.get_executor(), [self, answer = std::move(answer)]() mutable {
                self->reply(std::move(answer));
            });
        });
    }

    void reply(std::string answer) {
        out_ = std::move(answer) + "\n";
        auto self = shared_from_this();
        boost::asio::async_write(socket_, boost::asio::buffer(out_), [self](const boost::system::error_code& error, std::size_t) {
            if (error) return;
            if (self->close) {
                boost::system::error_code ignored;
                self->socket_.shutdown(tcp::socket::shutdown_both, ignored);
                self->socket_.close(ignored);
                return;
            }
            self->readNext();
        });
    }

    tcp::socket socket_;
    std::uint64_t id_;
    RequestHandler& handler_;
    boost::asio::thread_pool& workers_;
    boost::asio::streambuf buffer_;
    std::string out_;
    bool close = false;
};

Service::Service(boost::asio::io_context& io, int port, RequestHandler& handler)
    : io_(io), acceptor_(io), handler_(handler) {
    listenOnLoopback(acceptor_, port);
    accept();
}

Service::~Service() {
    close();
    workers_.join();
}

int Service::port() const { return acceptor_.local_endpoint().port(); }

void Service::close() {
    boost::system::error_code ignored;
    acceptor_.close(ignored);
}

void Service::accept() {
    acceptor_.async_accept([this](const boost::system::error_code& error, tcp::socket socket) {
        if (error) return;  // closed
        std::make_shared<Connection>(std::move(socket), ++connections_, handler_, workers_)->readNext();
        accept();
    });
}

}  // namespace flumina::host
