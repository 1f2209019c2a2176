#include <string>

#include "module_state.h"
#include "python_ops.h"
#include "session.h"
#include "use_types.h"
#include "userland.h"

namespace flumina::session {
namespace {

using module::contains;
using module::equals;
using module::global;
using module::isStr;
using module::refuse;

// Input-kind codes, as used_device holds them; -1 while none is found (never stored).
constexpr long kNetwork = static_cast<long>(InputKind::Network);
constexpr long kCamera = static_cast<long>(InputKind::Camera);
constexpr long kFile = static_cast<long>(InputKind::File);
constexpr long kNoInput = static_cast<long>(InputKind::None);
constexpr long kNone = -1;

// A userland path as the host service sees it: "/sdcard..." is shared as is,
// anything else lies below the userland prefix. Output paths take the prefix
// with a trailing slash, so their value holds "//" after it; the host expects
// both forms as they are.
Object hostPath(const Object& path, bool forOutput) {
    const std::string shared = userland::kSharedFolder;
    const Object head = path[Object::steal(PySlice_New(nullptr, Object(shared.size()).get(), nullptr))];
    if (equals(head, shared.c_str())) return path;
    std::string prefix = userland::kPrefix;
    if (forOutput) prefix += "/";
    Object absolute = global("os").attr("path").attr("abspath")(path);
    return Object::steal(PyNumber_Add(Object(prefix).get(), absolute.get()));
}

// Appends the code to used_device and returns it.
Object recordInputKind(const Object& self, Object code) {
    self.attr("used_device").attr("append")(code);
    return code;
}

// Appends (height, width, 3) to input_resize and writes the two resize keys.
void recordFrameSize(const Object& self, const Object& entry, const Object& inputshape) {
    Object height = inputshape[1];
    Object width = inputshape[0];
    self.attr("input_resize").attr("append")(module::tupleOf({height, width, 3}));
    entry.setItem("inputResizeWidth", inputshape[0]);
    entry.setItem("inputResizeHeight", inputshape[1]);
}

// Works out which input the caller named; the entry gets its one input key.
Object classifyInput(const Object& self, const Object& entry, const Object& input, const Object& utype,
                     const Object& outputinfo) {
    if (!input.isNone() && utype.isNone()) {
        if (isStr(input)) {
            if (contains(input, "://")) {
                entry.setItem("inputUrl", input);
                return recordInputKind(self, Object(kNetwork));
            }
            if (module::truthOf(global("os").attr("path").attr("exists")(input))) {
                entry.setItem("file_path", hostPath(input, false));
                return recordInputKind(self, Object(kFile));
            }
            refuse("not support input");
        }
        if (PyLong_Check(input.get())) {
            entry.setItem("camera_id", input);
            return recordInputKind(self, Object(kCamera));
        }
        refuse("input must be str for net stream/file or int for carmer");
    }
    if (!input.isNone()) {
        if (!contains(self.attr("avaliable_device"), utype))
            refuse("the utype must be inputUrl, camera_id or usbDeviceID");
        entry.setItem(utype, input);
        return recordInputKind(self, self.attr("avaliable_device").attr("index")(utype));
    }
    if (!outputinfo.isNone()) {
        return recordInputKind(self, Object(kNoInput));
    }
    return Object(kNone);
}

void addFourElementOutput(const Object& self, const Object& entry, const Object& code, const Object& outputinfo) {
    if (!isStr(outputinfo[0])) refuse("ouput must be str");
    if (contains(outputinfo[0], "://"))
        entry.setItem("outUrl", outputinfo[0]);
    else if (contains(self.attr("allow_save_device"), code))
        entry.setItem("outPath", hostPath(outputinfo[0], true));
    else
        refuse("plase check outputinfo");
    entry.setItem("outFrameRate", outputinfo[1]);
    entry.setItem("outWidth", outputinfo[2]);
    entry.setItem("outHeight", outputinfo[3]);
}

void addFiveElementOutput(const Object& entry, const Object& outputinfo) {
    if (!isStr(outputinfo[0]) || !isStr(outputinfo[1])) refuse("ouput must be str");
    const bool firstPushes = contains(outputinfo[0], "://");
    const bool secondPushes = contains(outputinfo[1], "://");
    if (firstPushes && !secondPushes) {
        entry.setItem("outUrl", outputinfo[0]);
        entry.setItem("outPath", hostPath(outputinfo[1], true));
    } else if (secondPushes && !firstPushes) {
        entry.setItem("outUrl", outputinfo[1]);
        entry.setItem("outPath", hostPath(outputinfo[0], true));
    } else {
        refuse("output cannot same");
    }
    entry.setItem("outFrameRate", outputinfo[2]);
    entry.setItem("outWidth", outputinfo[3]);
    entry.setItem("outHeight", outputinfo[4]);
}

// Frame size and output keys, for input kinds that may carry outputs.
void addOutputs(const Object& self, const Object& entry, const Object& code, const Object& inputshape,
                const Object& outputinfo) {
    if (!inputshape.isNone())
        recordFrameSize(self, entry, inputshape);
    else if (equals(code, kNetwork) || equals(code, kCamera))
        refuse("if you want to push or save frames,you must fix inputshape");

    if (module::len(outputinfo) == 4)
        addFourElementOutput(self, entry, code, outputinfo);
    else if (module::len(outputinfo) == 5 && contains(self.attr("allow_push_save_device"), code))
        addFiveElementOutput(entry, outputinfo);
}

}  // namespace

Object add(const Object& self, const Object& input, const Object& utype, const Object& inputFormat,
           const Object& inputshape, const Object& outputinfo) {
    Object entry = module::newDict();
    Object code = classifyInput(self, entry, input, utype, outputinfo);

    if (equals(code, kNetwork) &&
        (equals(inputFormat, Object("video/avc")) || equals(inputFormat, Object("video/hevc"))))
        entry.setItem("inputFormat", inputFormat);

    if (contains(self.attr("allow_push_device"), code) && !outputinfo.isNone())
        addOutputs(self, entry, code, inputshape, outputinfo);

    // Files as network streams: a script reads a file by its path at the size it asks for.
    if ((equals(code, kNetwork) || equals(code, kFile)) && outputinfo.isNone() && !inputshape.isNone())
        recordFrameSize(self, entry, inputshape);

    self.attr("js").attr("append")(entry);
    return entry;
}

}  // namespace flumina::session
