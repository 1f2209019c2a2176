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
Agreement agreementOver(const Object& self, Flag flag) {
    Agreement agreement;
    for (const Object& entry : self.attr("js")) (flag(entry) ? agreement.seenTrue : agreement.seenFalse) = true;
    return agreement;
}

Object firstInputKind(const Object& self) { return self.attr("used_device")[0]; }

bool hasOutput(const Object& entry) { return contains(entry, "outUrl") || contains(entry, "outPath"); }

long networkUseType(const Object& self) {
    const Agreement outputs = agreementOver(self, hasOutput);
    if (!outputs.unanimous()) refuse("all utype must same");
    if (outputs.allTrue()) {
        const Agreement saves = agreementOver(self, [](const Object& e) { return contains(e, "outPath"); });
        return saves.unanimous() && !saves.allTrue() ? 2 : 3;
    }
    const Agreement sized = agreementOver(self, [](const Object& e) { return contains(e, "inputResizeWidth"); });
    return sized.allTrue() ? 8 : 1;
}

long cameraUseType(const Object& self) {
    const Agreement pushes = agreementOver(self, [](const Object& e) { return contains(e, "outUrl"); });
    if (!pushes.unanimous()) refuse("所有的输出类型必须一致");
    return pushes.allTrue() ? 5 : 4;
}

}  // namespace

Object check(const Object& self) {
    const Object distinct = Object::steal(PySet_New(self.attr("used_device").get()));
    if (module::len(distinct) > 1) refuse("inputs must be same type");

    long useType = -1;
    if (equals(firstInputKind(self), 0)) useType = networkUseType(self);
    if (equals(firstInputKind(self), 1)) useType = cameraUseType(self);
    if (equals(firstInputKind(self), 2)) useType = 6;
    if (equals(firstInputKind(self), 3)) useType = 7;
    if (equals(firstInputKind(self), 4)) useType = 9;
    return Object(useType);
}

}  // namespace flumina::session
