#include <string>

#include "channels.h"
#include "module_state.h"
#include "python_ops.h"
#include "session.h"
#include "use_types.h"

namespace flumina::session {
namespace {

using module::equals;
using module::global;
namespace ch = flumina::channels;

// Whether `useType` equals (as Python compares) one of the use types that `which` picks, tried in the table's order.
template <typename Which>
bool isUseType(const Object& useType, Which which) {
    for (const UseType& type : kUseTypes)
        if (which(type) && equals(useType, type.value)) return true;
    return false;
}

Object loadJson(const Object& text) { return global("json").attr("loads")(text); }

// The decoded frame size the host reports, as (height, width, 3).
Object reportedShape(const Object& reply) {
    Object content = reply["content"];
    if (module::isStr(content)) content = loadJson(content);
    const Object height = Object::steal(PyNumber_Long(content["rgbheight"].get()));
    const Object width = Object::steal(PyNumber_Long(content["rgbwidth"].get()));
    return module::tupleOf({height, width, 3});
}

// The reported size, once per stream index; every stream gets the same one.
void recordReportedFrameSizes(const Object& self, const Object& reply, Py_ssize_t streams) {
    if (streams == 0) return;
    const Object shape = reportedShape(reply);
    for (Py_ssize_t i = 0; i < streams; ++i) self.attr("input_resize").attr("append")(shape);
}

// Whether the reply reports a frame size at all.
bool reportsSize(const Object& reply) {
    if (!PyDict_Check(reply.get()) || !module::contains(reply, "content")) return false;
    Object content = reply["content"];
    if (module::isStr(content)) content = loadJson(content);
    return PyDict_Check(content.get()) && module::contains(content, "rgbwidth") &&
           module::contains(content, "rgbheight");
}

// Files registered without a size read at the size the host reports, when it
// reports one: the shape goes to the position of each stream that
// registration left without one, so that positions match stream indices.
void completeFileFrameSizes(const Object& self, const Object& reply, Py_ssize_t streams) {
    Object shapes = self.attr("input_resize");
    if (streams - module::len(shapes) <= 0 || !reportsSize(reply)) return;
    const Object shape = reportedShape(reply);
    Py_ssize_t position = 0;
    for (const Object& entry : self.attr("js")) {
        if (module::len(shapes) >= streams) break;
        if (!module::contains(entry, "inputResizeWidth")) shapes.attr("insert")(Object(static_cast<long>(position)), shape);
        ++position;
    }
}

void attachChannels(const Object& self, Py_ssize_t streams) {
    for (Py_ssize_t i = 0; i < streams; ++i) {
        const auto index = static_cast<std::size_t>(i);
        self.attr("kv").attr("append")(global("Aashmem")(ch::inputChannelName(index)));
        self.attr("diskv").attr("append")(global("Aashmem")(ch::displayChannelName(index)));
        self.attr("eskv").attr("append")(global("Aashmem")(ch::pushChannelName(index)));
    }
}

}  // namespace

Object build(const Object& self) {
    Object useType = self.attr("_check")();
    const Py_ssize_t streams = module::len(self.attr("js"));
    Object pid = global("os").attr("getpid")();

    // A daemon, so that the interpreter does not wait for it at exit; it also
    // ends by itself once its parent is gone (keep()).
    Object heartbeat = global("multiprocessing")
                           .attr("Process")
                           .call({}, {{"target", self.attr("_keep")}, {"daemon", module::boolean(true)}});
    heartbeat.attr("start")();

    Object bridge = global("android").attr("Android")();
    Object config = global("json").attr("dumps")(self.attr("js"));
    Object reply = bridge.attr("stream")(config, useType, pid);
    Object parsed = loadJson(reply.attr("result"));
    module::print(parsed);

    if (isUseType(useType, [](const UseType& type) { return type.hostSized; }))
        recordReportedFrameSizes(self, parsed, streams);
    else if (isUseType(useType, [](const UseType& type) { return type.input == InputKind::File; }))
        completeFileFrameSizes(self, parsed, streams);
    if (isUseType(useType, [](const UseType& type) { return type.input == InputKind::UsbCamera; }))
        for (const Object& entry : self.attr("js")) bridge.attr("requestPermission")(entry["usbDeviceId"]);

    attachChannels(self, streams);
    global("time").attr("sleep")(3);
    module::print("build over");
    return self.attr("input_resize");
}

Object keep(const Object& /*self*/) {
    const Object path(ch::kHeartbeatFile);
    Object parent = global("os").attr("getppid")();
    long counter = 0;
    for (;;) {
        Object file = module::openFile(path, "w");
        file.attr("write")(Object(std::to_string(counter)));
        file.attr("close")();
        counter = counter < 10 ? counter + 1 : 0;
        global("time").attr("sleep")(1);
        // Reparented: whoever started this heartbeat is gone, and with it the session.
        if (module::notEquals(global("os").attr("getppid")(), parent)) return module::none();
    }
}

}  // namespace flumina::session
