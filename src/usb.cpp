#include "module_state.h"
#include "python_ops.h"
#include "session.h"

namespace flumina::session {
namespace {

// Device class and subclass of a USB video camera that uses interface association.
constexpr long kMiscellaneousClass = 239;
constexpr long kCommonSubclass = 2;

}  // namespace

Object usbDeviceIds(const Object& /*self*/) {
    Object cameras = module::listOf({});
    Object reply = module::global("android").attr("Android")().attr("searchUSB")();
    Object listing = module::global("json").attr("loads")(reply.attr("result"));
    for (const Object& device : listing["content"]) {
        if (module::equals(device["deviceClass"], kMiscellaneousClass) &&
            module::equals(device["deviceSubclass"], kCommonSubclass))
            cameras.attr("append")(device["deviceID"]);
    }
    Object count = listing["count"];
    if (module::compare(module::len(cameras), count, Py_LT)) module::print("some usb camera not support");
    return cameras;
}

}  // namespace flumina::session
