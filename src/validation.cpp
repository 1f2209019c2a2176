#include "module_state.h"
#include "python_ops.h"
#include "session.h"

namespace flumina::session {
namespace {

using module::contains;
using module::equals;
using module::refuse;

// Whether a per-stream flag is the same for every stream of `js`, and which.
struct Agreement {
    bool seenTrue = false;
    bool seenFalse = false;
    bool unanimous() const { return seenTrue != seenFalse; }
    bool allTrue() const { return seenTrue && !seenFalse; }
};

template <typename Flag>
Agreement agreementOver(py::handle self, Flag flag) {
    Agreement agreement;
    for (py::handle entry : self.attr("js")) (flag(entry) ? agreement.seenTrue : agreement.seenFalse) = true;
    return agreement;
}

py::object firstInputKind(py::handle self) { return self.attr("used_device")[py::int_(0)]; }

bool hasOutput(py::handle entry) { return contains(entry, "outUrl") || contains(entry, "outPath"); }

long networkUseType(py::handle self) {
    const Agreement outputs = agreementOver(self, hasOutput);
    if (!outputs.unanimous()) refuse("all utype must same");
    if (outputs.allTrue()) {
        const Agreement saves = agreementOver(self, [](py::handle e) { return contains(e, "outPath"); });
        return saves.unanimous() && !saves.allTrue() ? 2 : 3;
    }
    const Agreement sized = agreementOver(self, [](py::handle e) { return contains(e, "inputResizeWidth"); });
    return sized.allTrue() ? 8 : 1;
}

long cameraUseType(py::handle self) {
    const Agreement pushes = agreementOver(self, [](py::handle e) { return contains(e, "outUrl"); });
    if (!pushes.unanimous()) refuse("所有的输出类型必须一致");
    return pushes.allTrue() ? 5 : 4;
}

}  // namespace

py::object check(py::handle self) {
    py::object distinct = py::reinterpret_steal<py::object>(PySet_New(self.attr("used_device").ptr()));
    if (!distinct) throw py::error_already_set();
    if (py::len(distinct) > 1) refuse("inputs must be same type");

    long useType = -1;
    if (equals(firstInputKind(self), 0)) useType = networkUseType(self);
    if (equals(firstInputKind(self), 1)) useType = cameraUseType(self);
    if (equals(firstInputKind(self), 2)) useType = 6;
    if (equals(firstInputKind(self), 3)) useType = 7;
    if (equals(firstInputKind(self), 4)) useType = 9;
    return py::int_(useType);
}

}  // namespace flumina::session
