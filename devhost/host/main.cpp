// flumina-host: the development stand-in for the host stream service.
#include <malloc.h>
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

extern "C" {
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
}

#include "channels.h"
#include "libav.h"
#include "live_view.h"
#include "log.h"
#include "options.h"
#include "request_handler.h"
#include "service.h"
#include "session_manager.h"
#include "session_recording.h"
#include "shrink_guard.h"
#include "usb_devices.h"

using namespace flumina::host;

namespace {

// Clients write their heartbeat and their channels' names under this folder,
// possibly as another user than the service.
void makeChannelDir() {
    const char* dir = flumina::channels::kChannelDir;
    if (::mkdir(dir, 0777) == 0) {
        ::chmod(dir, 01777);
        log().line(logLine("created ", dir));
    } else if (errno != EEXIST) {
        throw std::runtime_error(std::string("cannot create ") + dir + ": " + std::strerror(errno));
    }
}

}  // namespace

int main(int argc, char** argv) {
    HostOptions options;
    try {
        options = parseOptions(argc, argv);
    } catch (const UsageError& e) {
        std::cerr << "flumina-host: " << e.what() << "\n";
        return 2;
    }
    if (options.help) {
        std::cout << helpText();
        return 0;
    }
    if (options.version) {
        std::cout << "flumina-host " << FLUMINA_VERSION << "\n";
        return 0;
    }
    // A push destination that goes away must not end the service, nor a client that shrinks a channel.
    std::signal(SIGPIPE, SIG_IGN);
    // Frame-sized blocks come from the system and go back to it when freed: a
    // fixed threshold keeps glibc from raising it as such blocks are freed,
    // after which a large session's frames would stay in the heap when it ends.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    korvane::ipc::dev::shrink_guard::survive();
    captureLibavMessages();
    avdevice_register_all();
    avformat_network_init();

    try {
        makeChannelDir();
        if (!options.recordDir.empty()) {
            options.recordDir = prepareRecordingDir(options.recordDir);
            log().line("recording live inputs into " + options.recordDir);
        }
        UsbDevices usb(options.sysfsRoot, options.usbDevicesFile, options.testCameras);
        // What the live view shows: made before the sessions and gone after them.
        std::optional<ViewBoard> board;
        if (options.viewPort) board.emplace(options.pixelOrder, options.codec);
        SessionManager sessions(options, usb, board ? &*board : nullptr);
        RequestHandler handler(sessions, usb);
        // After the handler: connections still pending when the loop ends are destroyed with it.
        boost::asio::io_context io;
        // Taken from here on, before the log says the host is up: a SIGTERM
        // right after that waits for the handler below instead of killing.
        boost::asio::signal_set signals(io, SIGINT, SIGTERM);
        Service service(io, resolvePort(options), handler);
        log().line(logLine("listening on 127.0.0.1:", service.port()));
        std::optional<LiveView> view;
        if (board) {
            view.emplace(io, *options.viewPort, *board);
            log().line(logLine("view: http://127.0.0.1:", view->port(), "/"));
        }

        signals.async_wait([&](const boost::system::error_code& error, int signal) {
            if (error) return;
            log().line(logLine(signal == SIGINT ? "SIGINT" : "SIGTERM", " received: stopping"));
            service.close();
            if (view) view->close();
            sessions.shutdown(signal == SIGINT ? "SIGINT" : "SIGTERM");
            io.stop();
        });
        io.run();
    } catch (const std::exception& e) {
        log().error(e.what());
        avformat_network_deinit();
        return 1;
    }
    avformat_network_deinit();
    log().line("stopped");
    return 0;
}
