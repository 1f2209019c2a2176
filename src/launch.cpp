#include <string>

#include "channels.h"
#include "module_state.h"
#include "python_ops.h"
#include "session.h"

namespace flumina::session {
namespace {

using module::equals;
using module::global;
namespace ch = flumina::channels;

py::object loadJson(py::handle text) { return global("json").attr("loads")(text); }

// The decoded frame size the host reports, as (height, width, 3).
py::object reportedShape(py::handle reply) {
    py::object content = reply["content"];
    if (module::isStr(content)) content = loadJson(content);
    py::object height = py::int_(content["rgbheight"]);
    py::object width = py::int_(content["rgbwidth"]);
    return py::make_tuple(height, width, 3);
}

// The reported size, once per stream index.
void recordReportedFrameSizes(py::handle self, py::handle reply, Py_ssize_t streams) {
    for (Py_ssize_t i = 0; i < streams; ++i) self.attr("input_resize").attr("append")(reportedShape(reply));
}

// Files registered without a size read at the size the host reports, when it
// reports one: one shape for each position that registration left empty.
void completeFileFrameSizes(py::handle self, py::handle reply, Py_ssize_t streams) {
    py::object shapes = self.attr("input_resize");
    const Py_ssize_t missing = streams - static_cast<Py_ssize_t>(py::len(shapes));
    if (missing <= 0 || !PyDict_Check(reply.ptr()) || !module::contains(reply, "content")) return;
    py::object content = reply["content"];
    if (module::isStr(content)) content = loadJson(content);
    if (!PyDict_Check(content.ptr()) || !module::contains(content, "rgbwidth") ||
        !module::contains(content, "rgbheight"))
        return;
    for (Py_ssize_t i = 0; i < missing; ++i) shapes.attr("append")(reportedShape(reply));
}

void attachChannels(py::handle self, Py_ssize_t streams) {
    for (Py_ssize_t i = 0; i < streams; ++i) {
        const auto index = static_cast<std::size_t>(i);
        self.attr("kv").attr("append")(global("Aashmem")(ch::inputChannelName(index)));
        self.attr("diskv").attr("append")(global("Aashmem")(ch::displayChannelName(index)));
        self.attr("eskv").attr("append")(global("Aashmem")(ch::pushChannelName(index)));
    }
}

}  // namespace

py::object build(py::handle self) {
    py::object useType = self.attr("_check")();
    const Py_ssize_t streams = static_cast<Py_ssize_t>(py::len(self.attr("js")));
    py::object pid = global("os").attr("getpid")();

    // A daemon, so that the interpreter does not wait for it at exit; it also
    // ends by itself once its parent is gone (keep()).
    py::object heartbeat =
        global("multiprocessing").attr("Process")(py::arg("target") = self.attr("_keep"), py::arg("daemon") = true);
    heartbeat.attr("start")();

    py::object bridge = global("android").attr("Android")();
    py::object config = global("json").attr("dumps")(self.attr("js"));
    py::object reply = bridge.attr("stream")(config, useType, pid);
    py::object parsed = loadJson(reply.attr("result"));
    module::print(parsed);

    if (equals(useType, 1) || equals(useType, 4) || equals(useType, 6))
        recordReportedFrameSizes(self, parsed, streams);
    else if (equals(useType, 7))
        completeFileFrameSizes(self, parsed, streams);
    if (equals(useType, 6))
        for (py::handle entry : self.attr("js")) bridge.attr("requestPermission")(entry["usbDeviceId"]);

    attachChannels(self, streams);
    global("time").attr("sleep")(3);
    module::print(py::str("build over"));
    return self.attr("input_resize");
}

py::object keep(py::handle /*self*/) {
    const py::str path(ch::kHeartbeatFile);
    py::object parent = global("os").attr("getppid")();
    long counter = 0;
    for (;;) {
        py::object file = module::openFile(path, "w");
        file.attr("write")(py::str(std::to_string(counter)));
        file.attr("close")();
        counter = counter < 10 ? counter + 1 : 0;
        global("time").attr("sleep")(1);
        // Reparented: whoever started this heartbeat is gone, and with it the session.
        if (module::notEquals(global("os").attr("getppid")(), parent)) return py::none();
    }
}

}  // namespace flumina::session
