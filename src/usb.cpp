#include "module_state.h"
#include "python_ops.h"
#include "session.h"

namespace flumina::session {
namespace {

// Device class and subclass of a USB video camera that uses interface association.
constexpr long kMiscellaneousClass = 239;
constexpr long kCommonSubclass = 2;

}  // namespace

py::object usbDeviceIds(py::handle /*self*/) {
    py::list cameras;
    py::object reply = module::global("android").attr("Android")().attr("searchUSB")();
    py::object listing = module::global("json").attr("loads")(reply.attr("result"));
    for (py::handle device : listing["content"]) {
        if (module::equals(device["deviceClass"], kMiscellaneousClass) &&
            module::equals(device["deviceSubclass"], kCommonSubclass))
            cameras.append(device["deviceID"]);
    }
    py::object count = listing["count"];
    if (module::truthOf(PyObject_RichCompare(py::int_(py::len(cameras)).ptr(), count.ptr(), Py_LT)))
        module::print(py::str("some usb camera not support"));
    return std::move(cameras);
}

}  // namespace flumina::session
