// Listening for TCP connections on 127.0.0.1 only: this host's services are for this machine.
#pragma once

#include <boost/asio/ip/tcp.hpp>

namespace flumina::host {

// Opens `acceptor` on 127.0.0.1:`port` (0: any free port) and listens; throws
// std::runtime_error ("cannot listen on 127.0.0.1:PORT: reason") when it cannot.
void listenOnLoopback(boost::asio::ip::tcp::acceptor& acceptor, int port);

}  // namespace flumina::host
