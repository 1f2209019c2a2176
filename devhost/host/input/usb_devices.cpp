#include "usb_devices.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace flumina::host {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::optional<std::string> readLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line)) return std::nullopt;
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ' || line.back() == '\r')) line.pop_back();
    return line;
}

long number(const fs::path& file, int base) {
    const std::optional<std::string> text = readLine(file);
    if (!text) return -1;
    try {
        return std::stol(*text, nullptr, base);
    } catch (const std::exception&) {
        return -1;
    }
}

// A USB device's own directory (not one of its interfaces: those hold a ':').
bool isDeviceDir(const fs::path& dir) {
    return dir.filename().string().find(':') == std::string::npos && fs::exists(dir / "busnum") &&
           fs::exists(dir / "devnum");
}

long deviceIdOf(const fs::path& dir) { return number(dir / "busnum", 10) * 1000 + number(dir / "devnum", 10); }

}  // namespace

bool sameDeviceId(const json& fromClient, const json& deviceId) {
    if (fromClient == deviceId) return true;
    if (fromClient.is_string() && deviceId.is_number_integer())
        return fromClient.get<std::string>() == std::to_string(deviceId.get<long>());
    if (fromClient.is_number() && deviceId.is_string()) return sameDeviceId(deviceId, fromClient);
    return false;
}

UsbDevices::UsbDevices(std::string sysfsRoot, std::string fixtureFile)
    : sysfsRoot_(std::move(sysfsRoot)), fixtureFile_(std::move(fixtureFile)) {}

json UsbDevices::listing() const { return fixtureFile_.empty() ? sysfsListing() : fixtureListing(); }

json UsbDevices::fixtureListing() const {
    std::ifstream in(fixtureFile_);
    if (!in) throw std::runtime_error("cannot read the USB device listing " + fixtureFile_);
    json listing;
    try {
        listing = json::parse(in);
    } catch (const json::parse_error& e) {
        throw std::runtime_error("USB device listing " + fixtureFile_ + " is not valid JSON: " + e.what());
    }
    if (listing.is_array()) return json{{"content", listing}, {"count", listing.size()}};
    if (!listing.is_object() || !listing.contains("content") || !listing["content"].is_array())
        throw std::runtime_error("USB device listing " + fixtureFile_ +
                                 " must be an array of device records or an object with a \"content\" array");
    if (!listing.contains("count")) listing["count"] = listing["content"].size();
    return listing;
}

json UsbDevices::sysfsListing() const {
    std::vector<fs::path> dirs;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(fs::path(sysfsRoot_) / "bus/usb/devices", error))
        if (isDeviceDir(entry.path())) dirs.push_back(entry.path());
    std::sort(dirs.begin(), dirs.end());
    json content = json::array();
    for (const fs::path& dir : dirs) {
        const long bus = number(dir / "busnum", 10), device = number(dir / "devnum", 10);
        char node[64];
        std::snprintf(node, sizeof node, "/dev/bus/usb/%03ld/%03ld", bus, device);
        content.push_back({{"deviceClass", number(dir / "bDeviceClass", 16)},
                           {"deviceSubclass", number(dir / "bDeviceSubClass", 16)},
                           {"deviceID", deviceIdOf(dir)},
                           {"vendorId", number(dir / "idVendor", 16)},
                           {"productId", number(dir / "idProduct", 16)},
                           {"vendorName", readLine(dir / "manufacturer").value_or("")},
                           {"productName", readLine(dir / "product").value_or("")},
                           {"deviceName", node}});
    }
    return json{{"content", content}, {"count", content.size()}};
}

std::optional<std::string> UsbDevices::videoDeviceFor(const json& deviceId) const {
    if (!fixtureFile_.empty()) {
        for (const json& record : fixtureListing()["content"])
            if (record.is_object() && record.contains("deviceID") && sameDeviceId(deviceId, record["deviceID"]) &&
                record.contains("videoDevice") && record["videoDevice"].is_string())
                return record["videoDevice"].get<std::string>();
        return std::nullopt;
    }
    // /sys/class/video4linux/videoN/device is the USB interface; its parent is the device.
    std::vector<fs::path> nodes;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(fs::path(sysfsRoot_) / "class/video4linux", error))
        nodes.push_back(entry.path());
    std::sort(nodes.begin(), nodes.end());
    for (const fs::path& node : nodes) {
        if (number(node / "index", 10) > 0) continue;  // metadata nodes of the same camera
        const fs::path interface = fs::canonical(node / "device", error);
        if (error) continue;
        const fs::path device = interface.parent_path();
        if (isDeviceDir(device) && sameDeviceId(deviceId, json(deviceIdOf(device))))
            return "/dev/" + node.filename().string();
    }
    return std::nullopt;
}

}  // namespace flumina::host
