// The machine's USB devices for "searchUSB", and the video device of a USB camera.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace flumina::host {

class UsbDevices {
public:
    // Lists from `sysfsRoot` ("/sys"), or serves `fixtureFile` when it is not empty.
    UsbDevices(std::string sysfsRoot, std::string fixtureFile);

    // {"content": [records], "count": N}; a record holds "deviceClass",
    // "deviceSubclass", "deviceID" (bus number x 1000 + device number), "vendorId",
    // "productId", "vendorName", "productName" and "deviceName". Throws
    // std::runtime_error when the fixture cannot be read.
    nlohmann::json listing() const;

    // The V4L2 capture node ("/dev/video0") of the USB device `deviceId`: a
    // fixture record's "videoDevice", else the one sysfs links to the device.
    std::optional<std::string> videoDeviceFor(const nlohmann::json& deviceId) const;

private:
    nlohmann::json sysfsListing() const;
    nlohmann::json fixtureListing() const;

    std::string sysfsRoot_;
    std::string fixtureFile_;
};

// Whether a client's device id names `deviceId` (the client may send it as a number or as text).
bool sameDeviceId(const nlohmann::json& fromClient, const nlohmann::json& deviceId);

}  // namespace flumina::host
