#include "options.h"

#include <cmath>
#include <vector>

#include "host_limits.h"
#include "log.h"
#include "port_file.h"
#include "url_schemes.h"

namespace flumina::host {
namespace {

// `what` the option takes ("a number of seconds"); `zero`: whether 0 is a value it takes.
double parseNumber(const std::string& option, const std::string& text, const std::string& what, bool zero = false) {
    std::size_t used = 0;
    double value = 0;
    try {
        value = std::stod(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || !std::isfinite(value) || value < 0 || (value == 0 && !zero))
        throw UsageError(option + " needs " + what + " " + (zero ? "from 0 on" : "above 0") + ", not \"" + text + "\"");
    return value;
}

double parseSeconds(const std::string& option, const std::string& text, bool zero = false) {
    return parseNumber(option, text, "a number of seconds", zero);
}

// `expected` says what the option takes, for the error.
int parsePort(const std::string& text, const std::string& expected) {
    std::size_t used = 0;
    long value = -1;
    try {
        value = std::stol(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || value < 0 || value > 65535)
        throw UsageError(expected + ", not \"" + text + "\"");
    return static_cast<int>(value);
}

// The limits and file rules of the service, from the values it enforces.
std::string limitsHelp() {
    return logLine(R"(
Limits (a request beyond one gets an error that names it):
  streams per session          )", kMaxStreamsPerSession, R"(
  channel memory per session   )", kMaxChannelBytesPerSession >> 20, R"( MiB, reserved when the session starts, so
                               that a full /dev/shm refuses the session
  outFrameRate                 )", kMinFrameRate, " to ", kMaxFrameRate, R"( frames a second
  connections at once          )", kMaxConnections, R"(
  request line                 )", kMaxRequestBytes, R"( bytes
  threads per stream           one each to decode, to deliver a live input's
                               frames, to encode, to take pushed and to take
                               shown frames; the codecs and scaling up
                               to )", kMaxCodecThreadsPerStream, R"( each, fewer when streams outnumber cores
  play-out buffer              )", kPlayoutSeconds, " s of a live stream, at most ", kPlayoutBytes >> 20, R"( MiB of decoded
                               frames per stream (a 1080p frame takes 3 MiB:
                               about 5 s at 25 fps)
  recording                    )", kRecordingBacklogBytes >> 20, R"( MiB of a stream's packets waiting for the
                               disk; more stops its recording, not the stream
  opening                      )", kParallelOpens, R"( streams at once, each within --open-timeout;
                               no other request waits for them, and a newer
                               "stream" request or SIGINT/SIGTERM ends them

Files and channels:
  file_path (and an inputUrl without a scheme or with file:) is read as a
  regular file only, never a FIFO, device or folder, and opens nothing more.
  inputUrl schemes: )", servedInputSchemes(), R"(.
  outPath is a regular file that its mode bits let be written, or a new file in
  an existing folder; never a symbolic link. It is created or emptied when the
  first frame is pushed, and a file the host created is removed again when no
  frame reached it; a file that was there before is never removed.
  The host uses only channel objects of its own user that no other user may
  write; any other is replaced by one of its own before the reply.
)");
}

}  // namespace

std::string helpText() {
    return R"(Usage: flumina-host [options]

Development stand-in for the host stream service: serves the clients' line
protocol on 127.0.0.1, decodes the streams of a session into their input
channels, encodes every frame clients push, and shows in a live view what
they show.

options:
  --port N                 listen on port N (0: any free port; the actual port is
                           logged as "listening on 127.0.0.1:PORT"). Default: the
                           first line of /etc/opt/korvane/ap_port, else 43329
  --view PORT|off          serve the live view on 127.0.0.1:PORT: a page that
                           shows each stream of the running session as it goes
                           (what the client shows, the decoded input or what it
                           pushes) with its figures, and the figures as JSON at
                           /status. Default 0: any free port, logged as
                           "view: http://127.0.0.1:PORT/". off: no view
  --sdcard DIR             folder that host paths below /sdcard refer to
                           (default: /sdcard itself)
  --usb-devices FILE       answer searchUSB with this JSON listing (an array of
                           device records, or {"content": [...], "count": N})
                           instead of the machine's USB devices
  --sysfs DIR              list USB devices and video nodes below DIR instead of
                           /sys (a copied or made-up tree, for tests)
  --test-cameras           camera and USB camera inputs are a moving test
                           pattern; without --usb-devices, searchUSB also lists
                           a test USB camera (deviceID 1)
  --pixel-format FORMAT    rgb24 (default) or bgr24: the order of the three bytes
                           of a pixel in every channel
  --no-pacing              deliver recorded inputs as fast as the client takes
                           them (default: at their own frame rate)
  --loop                   start recorded inputs again at their end
  --codec CODEC            h264 (default) or hevc, for pushed and saved streams
  --heartbeat-timeout S    stop a session whose heartbeat file has not changed
                           for S seconds (default 5); a session also ends as
                           soon as its client's process or connection is gone
  --progress-interval S    seconds between progress lines (default 5)
  --open-timeout S         seconds an input or output may take to open (default 10)
  --reconnect S            open a live network input that ends or fails again,
                           with back-off, for up to S seconds before its stream
                           ends (default 30; 0: the stream ends at once)
  --input-timeout S        a live input that sends no packet for S seconds has
                           gone (default 10)
  --no-autorotate          deliver inputs as stored, not turned upright as their
                           display matrix asks
  --device-paths           refuse a session whose file_path or outPath the
                           device's host could not reach (default: a warning)
  --record DIR             record every live input of every session into DIR
                           (made if missing) as it arrives: per stream one
                           Matroska file of its packets, unchanged, with their
                           arrival times, named by the session's start and
                           the stream index, and a JSON record of the session
  --replay-speed F         replay:// inputs arrive F times as fast as they were
                           recorded (default 1)
  -h, --help               show this help and exit
  --version                show the version and exit

Recorded inputs (files, file:// and http(s):// URLs of known duration, HLS
playlists with an end) wait for the client to take each frame. Live inputs
(cameras, rtsp, rtmp, udp, srt, live playlists, ...) are decoded into a
play-out buffer whose frames reach the input channel at the stream's own pace,
delayed only as much as the source's bursts need; when the client falls
behind, the oldest buffered frame is dropped and counted (its bounds are
under Limits). Saved MP4 files are fragmented: they play while they are
written and survive a killed host.
An inputUrl replay://PATH (replay:///home/me/rec.mkv) opens a recording made
with --record as the live input it was: its packets arrive at their recorded
times, with the bursts, gaps and losses of the source, and its stream ends
where the recording does. Recordings are written out every half second: one
cut short by a killed host replays up to there.
SIGINT or SIGTERM stops the running session, finalising its outputs, and exits.
)" + limitsHelp();
}

HostOptions parseOptions(int argc, char** argv) {
    HostOptions options;
    std::vector<std::string> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) throw UsageError(arg + " needs a value");
            return args[++i];
        };
        if (arg == "-h" || arg == "--help") {
            options.help = true;
        } else if (arg == "--version") {
            options.version = true;
        } else if (arg == "--port") {
            options.port = parsePort(value(), "--port needs a port number from 0 to 65535");
        } else if (arg == "--view") {
            const std::string& port = value();
            options.viewPort = port == "off" ? std::nullopt
                                             : std::optional<int>(parsePort(port, "--view needs a port number from 0 to 65535, or off"));
        } else if (arg == "--sdcard") {
            options.sdcardDir = value();
            while (options.sdcardDir.size() > 1 && options.sdcardDir.back() == '/') options.sdcardDir.pop_back();
        } else if (arg == "--usb-devices") {
            options.usbDevicesFile = value();
        } else if (arg == "--sysfs") {
            options.sysfsRoot = value();
        } else if (arg == "--test-cameras") {
            options.testCameras = true;
        } else if (arg == "--pixel-format") {
            const std::string& format = value();
            if (format == "rgb24") options.pixelOrder = PixelOrder::Rgb;
            else if (format == "bgr24") options.pixelOrder = PixelOrder::Bgr;
            else throw UsageError("--pixel-format must be rgb24 or bgr24, not \"" + format + "\"");
        } else if (arg == "--no-pacing") {
            options.pacing = false;
        } else if (arg == "--loop") {
            options.loop = true;
        } else if (arg == "--codec") {
            const std::string& codec = value();
            if (codec == "h264") options.codec = VideoCodec::H264;
            else if (codec == "hevc") options.codec = VideoCodec::Hevc;
            else throw UsageError("--codec must be h264 or hevc, not \"" + codec + "\"");
        } else if (arg == "--heartbeat-timeout") {
            options.heartbeatTimeout = parseSeconds(arg, value());
        } else if (arg == "--progress-interval") {
            options.progressInterval = parseSeconds(arg, value());
        } else if (arg == "--open-timeout") {
            options.openTimeout = parseSeconds(arg, value());
        } else if (arg == "--reconnect") {
            options.reconnect = parseSeconds(arg, value(), true);
        } else if (arg == "--input-timeout") {
            options.inputTimeout = parseSeconds(arg, value());
        } else if (arg == "--no-autorotate") {
            options.autorotate = false;
        } else if (arg == "--device-paths") {
            options.devicePaths = true;
        } else if (arg == "--record") {
            options.recordDir = value();
            if (options.recordDir.empty()) throw UsageError("--record needs a folder");
        } else if (arg == "--replay-speed") {
            options.replaySpeed = parseNumber(arg, value(), "a number");
        } else {
            throw UsageError("unknown option " + arg + " (see --help)");
        }
    }
    return options;
}

int resolvePort(const HostOptions& options) {
    if (options.port) return *options.port;
    // The port the clients will connect to; one they cannot reach is no use here either.
    const int port = service::portOf(service::readPortLine(service::kPortFile));
    if (port < 1 || port > 65535)
        throw std::runtime_error(std::string("the port file ") + service::kPortFile + " names port " +
                                 std::to_string(port) + ", which is no TCP port (1 to 65535); fix it, or use --port");
    return port;
}

}  // namespace flumina::host
