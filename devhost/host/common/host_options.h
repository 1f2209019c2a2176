// What the command line of flumina-host sets, as the rooms below it read it.
#pragma once

#include <optional>
#include <string>

#include "frame_format.h"

namespace flumina::host {

struct HostOptions {
    std::optional<int> port;               // --port; 0 asks the system for a free port
    std::string sdcardDir = "/sdcard";     // what a host path below "/sdcard" means here
    std::string usbDevicesFile;            // serve this JSON listing for searchUSB instead of sysfs
    std::string sysfsRoot = "/sys";        // where the USB devices and video nodes are listed
    bool testCameras = false;              // camera and USB inputs become a synthetic pattern
    PixelOrder pixelOrder = PixelOrder::Rgb;
    bool pacing = true;                    // recorded inputs play at their own frame rate
    bool loop = false;                     // recorded inputs start again at their end
    VideoCodec codec = VideoCodec::H264;
    double heartbeatTimeout = 5.0;         // seconds without a heartbeat change before a session stops
    double progressInterval = 5.0;         // seconds between progress lines
    double openTimeout = 10.0;             // seconds an input or output may take to open
    double reconnect = 30.0;               // seconds a lost live network input is opened again for; 0: never
    double inputTimeout = 10.0;            // seconds without a packet after which a live input has gone
    bool autorotate = true;                // turn inputs upright as their display matrix asks
    bool devicePaths = false;              // refuse file_path and outPath values the device could not reach
    std::string recordDir;                 // record live inputs into this folder; empty: not at all
    double replaySpeed = 1;                // replay:// inputs arrive this many times as fast as recorded
    std::optional<int> viewPort = 0;       // --view: the live view's port (0: any free one); none: off
    bool help = false;
    bool version = false;
};

}  // namespace flumina::host
