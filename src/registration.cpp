#include <string>

#include "userland.h"
#include "module_state.h"
#include "python_ops.h"
#include "session.h"

namespace flumina::session {
namespace {

using module::contains;
using module::equals;
using module::global;
using module::isStr;
using module::refuse;

// Input-kind codes, as used_device holds them; -1 while none is found (never stored).
constexpr long kNetwork = 0;
constexpr long kCamera = 1;
constexpr long kFile = 3;
constexpr long kNoInput = 4;
constexpr long kNone = -1;

// A userland path as the host service sees it: "/sdcard..." is shared as is,
// anything else lies below the userland prefix. Output paths take the prefix
// with a trailing slash, so their value holds "//" after it; the host expects
// both forms as they are.
py::object hostPath(py::handle path, bool forOutput) {
    py::object head = path[py::slice(py::none(), py::int_(7), py::none())];
    if (equals(head, py::str("/sdcard"))) return py::reinterpret_borrow<py::object>(path);
    std::string prefix = flumina::userland::kPrefix;
    if (forOutput) prefix += "/";
    py::object absolute = global("os").attr("path").attr("abspath")(path);
    PyObject* joined = PyNumber_Add(py::str(prefix).ptr(), absolute.ptr());
    if (joined == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(joined);
}

// Appends the code to used_device and returns it.
py::object recordInputKind(py::handle self, py::object code) {
    self.attr("used_device").attr("append")(code);
    return code;
}

// Appends (height, width, 3) to input_resize and writes the two resize keys.
void recordFrameSize(py::handle self, py::dict& entry, py::handle inputshape) {
    py::object height = inputshape[py::int_(1)];
    py::object width = inputshape[py::int_(0)];
    self.attr("input_resize").attr("append")(py::make_tuple(height, width, 3));
    entry["inputResizeWidth"] = inputshape[py::int_(0)];
    entry["inputResizeHeight"] = inputshape[py::int_(1)];
}

// Works out which input the caller named; the entry gets its one input key.
py::object classifyInput(py::handle self, py::dict& entry, py::handle input, py::handle utype,
                         py::handle outputinfo) {
    if (!input.is_none() && utype.is_none()) {
        if (isStr(input)) {
            if (contains(input, "://")) {
                entry["inputUrl"] = input;
                return recordInputKind(self, py::int_(kNetwork));
            }
            if (py::bool_(global("os").attr("path").attr("exists")(input))) {
                entry["file_path"] = hostPath(input, false);
                return recordInputKind(self, py::int_(kFile));
            }
            refuse("not support input");
        }
        if (PyLong_Check(input.ptr())) {
            entry["camera_id"] = input;
            return recordInputKind(self, py::int_(kCamera));
        }
        refuse("input must be str for net stream/file or int for carmer");
    }
    if (!input.is_none()) {
        if (!contains(self.attr("avaliable_device"), utype))
            refuse("the utype must be inputUrl, camera_id or usbDeviceID");
        entry[utype] = input;
        return recordInputKind(self, self.attr("avaliable_device").attr("index")(utype));
    }
    if (!outputinfo.is_none()) {
        return recordInputKind(self, py::int_(kNoInput));
    }
    return py::int_(kNone);
}

void addFourElementOutput(py::handle self, py::dict& entry, py::handle code, py::handle outputinfo) {
    if (!isStr(outputinfo[py::int_(0)])) refuse("ouput must be str");
    if (contains(outputinfo[py::int_(0)], "://"))
        entry["outUrl"] = outputinfo[py::int_(0)];
    else if (contains(self.attr("allow_save_device"), code))
        entry["outPath"] = hostPath(outputinfo[py::int_(0)], true);
    else
        refuse("plase check outputinfo");
    entry["outFrameRate"] = outputinfo[py::int_(1)];
    entry["outWidth"] = outputinfo[py::int_(2)];
    entry["outHeight"] = outputinfo[py::int_(3)];
}

void addFiveElementOutput(py::dict& entry, py::handle outputinfo) {
    if (!isStr(outputinfo[py::int_(0)]) || !isStr(outputinfo[py::int_(1)])) refuse("ouput must be str");
    const bool firstPushes = contains(outputinfo[py::int_(0)], "://");
    const bool secondPushes = contains(outputinfo[py::int_(1)], "://");
    if (firstPushes && !secondPushes) {
        entry["outUrl"] = outputinfo[py::int_(0)];
        entry["outPath"] = hostPath(outputinfo[py::int_(1)], true);
    } else if (secondPushes && !firstPushes) {
        entry["outUrl"] = outputinfo[py::int_(1)];
        entry["outPath"] = hostPath(outputinfo[py::int_(0)], true);
    } else {
        refuse("output cannot same");
    }
    entry["outFrameRate"] = outputinfo[py::int_(2)];
    entry["outWidth"] = outputinfo[py::int_(3)];
    entry["outHeight"] = outputinfo[py::int_(4)];
}

// Frame size and output keys, for input kinds that may carry outputs.
void addOutputs(py::handle self, py::dict& entry, py::handle code, py::handle inputshape, py::handle outputinfo) {
    if (!inputshape.is_none())
        recordFrameSize(self, entry, inputshape);
    else if (equals(code, kNetwork) || equals(code, kCamera))
        refuse("if you want to push or save frames,you must fix inputshape");

    if (py::len(outputinfo) == 4)
        addFourElementOutput(self, entry, code, outputinfo);
    else if (py::len(outputinfo) == 5 && contains(self.attr("allow_push_save_device"), code))
        addFiveElementOutput(entry, outputinfo);
}

}  // namespace

py::object add(py::handle self, py::handle input, py::handle utype, py::handle inputFormat, py::handle inputshape,
               py::handle outputinfo) {
    py::dict entry;
    py::object code = classifyInput(self, entry, input, utype, outputinfo);

    if (equals(code, kNetwork) &&
        (equals(inputFormat, py::str("video/avc")) || equals(inputFormat, py::str("video/hevc"))))
        entry["inputFormat"] = inputFormat;

    if (contains(self.attr("allow_push_device"), code) && !outputinfo.is_none())
        addOutputs(self, entry, code, inputshape, outputinfo);

    // Files as network streams: a script reads a file by its path at the size it asks for.
    if ((equals(code, kNetwork) || equals(code, kFile)) && outputinfo.is_none() && !inputshape.is_none())
        recordFrameSize(self, entry, inputshape);

    self.attr("js").attr("append")(entry);
    return std::move(entry);
}

}  // namespace flumina::session
