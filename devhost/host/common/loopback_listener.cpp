#include "loopback_listener.h"

#include <stdexcept>
#include <string>

namespace flumina::host {

using boost::asio::ip::tcp;

void listenOnLoopback(tcp::acceptor& acceptor, int port) {
    const tcp::endpoint endpoint(boost::asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port));
    try {
        acceptor.open(endpoint.protocol());
        acceptor.set_option(tcp::acceptor::reuse_address(true));
        acceptor.bind(endpoint);
        acceptor.listen();
    } catch (const boost::system::system_error& e) {
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + e.code().message());
    }
}

}  // namespace flumina::host
