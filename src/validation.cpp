#include <optional>

#include "module_state.h"
#include "python_ops.h"
#include "session.h"
#include "use_types.h"

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

bool hasTrait(const Object& entry, Trait trait) {
    switch (trait) {
        case Trait::Output: return contains(entry, "outUrl") || contains(entry, "outPath");
        case Trait::Push: return contains(entry, "outUrl");
        case Trait::Save: return contains(entry, "outPath");
        case Trait::Size: return contains(entry, "inputResizeWidth");
    }
    return false;
}

// Whether every or no entry of `js` has each trait, each looked at once and only when a rule asks.
class Traits {
public:
    explicit Traits(const Object& self) : self_(self) {}

    bool meet(const UseType& type) {
        for (std::size_t t = 0; t < kTraits; ++t) {
            const Rule rule = type.rules[t];
            if (rule == Rule::Any) continue;
            const Agreement& agreement = of(static_cast<Trait>(t));
            if (!agreement.unanimous() || agreement.allTrue() != (rule == Rule::Required)) return false;
        }
        return true;
    }

private:
    const Agreement& of(Trait trait) {
        std::optional<Agreement>& known = known_[static_cast<std::size_t>(trait)];
        if (!known) known = agreementOver(self_, [trait](const Object& e) { return hasTrait(e, trait); });
        return *known;
    }

    const Object& self_;
    std::optional<Agreement> known_[kTraits];
};

// Why streams of `kind` fit none of its use types: their outputs disagree.
const char* disagreement(InputKind kind) {
    return kind == InputKind::Camera ? "所有的输出类型必须一致" : "all utype must same";
}

// Of the use types of `kind` whose rules every entry meets, the one with the most rules.
long useTypeOf(const Object& self, InputKind kind) {
    Traits traits(self);
    const UseType* chosen = nullptr;
    for (const UseType& type : kUseTypes)
        if (type.input == kind && (chosen == nullptr || type.ruleCount() > chosen->ruleCount()) && traits.meet(type))
            chosen = &type;
    if (chosen == nullptr) refuse(disagreement(kind));
    return chosen->value;
}

}  // namespace

Object check(const Object& self) {
    const Object distinct = Object::steal(PySet_New(self.attr("used_device").get()));
    if (module::len(distinct) > 1) refuse("inputs must be same type");

    long useType = -1;
    for (const InputKind kind : {InputKind::Network, InputKind::Camera, InputKind::UsbCamera, InputKind::File, InputKind::None})
        if (equals(firstInputKind(self), static_cast<long>(kind))) useType = useTypeOf(self, kind);
    return Object(useType);
}

}  // namespace flumina::session
