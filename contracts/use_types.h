// The use types: the session kinds that a "stream" request names in its
// second argument, and the one table of what each asks of its streams. The
// Python module works one out from the streams a script registers; a native
// caller passes one to Android::start; the host checks every stream of a
// session against it. Every stream of a session has the use type's kind of input.
#pragma once

#include <cstddef>

namespace flumina {

// The values are the input-kind codes that the Python module keeps in `used_device`.
enum class InputKind { Network = 0, Camera = 1, UsbCamera = 2, File = 3, None = 4 };

// What of a stream entry a use type rules on, in the order the host checks it.
enum class Trait {
    Output,  // "outUrl" or "outPath" (or both)
    Push,    // "outUrl"
    Save,    // "outPath"
    Size,    // "inputResizeWidth" (with "inputResizeHeight")
};
inline constexpr std::size_t kTraits = 4;

// What a use type asks of every stream for one trait.
enum class Rule { Any, Required, Refused };

struct UseType {
    int value;
    InputKind input;
    const char* meaning;
    Rule rules[kTraits];  // by Trait
    bool hostSized;       // the client reads its frame size from the host's reply

    Rule rule(Trait trait) const { return rules[static_cast<std::size_t>(trait)]; }
    // Traits this use type rules on: of two that fit a session, the module takes the one with more.
    int ruleCount() const {
        int count = 0;
        for (const Rule r : rules) count += r != Rule::Any;
        return count;
    }
};

// The module takes, among the use types of a session's input kind whose rules
// every stream meets, the one with the most rules (8 over 1, 2 over 3); the
// host refuses a stream that breaks a rule of the use type it is sent.
namespace use_type_table {
// Shorthands for the table: any, required, refused.
inline constexpr Rule A = Rule::Any, R = Rule::Required, X = Rule::Refused;

// clang-format off
inline constexpr UseType kUseTypes[] = {
    //                                                               Output Push Save Size  hostSized
    {1, InputKind::Network,   "network streams, decoded frames only", {X,    A,   A,   A},  true},
    {2, InputKind::Network,   "network streams pushed to addresses",  {A,    R,   X,   A},  false},
    {3, InputKind::Network,   "network streams saved to files",       {R,    A,   A,   A},  false},
    {4, InputKind::Camera,    "cameras without push output",          {A,    X,   A,   A},  true},
    {5, InputKind::Camera,    "cameras pushed to addresses",          {A,    R,   A,   A},  false},
    {6, InputKind::UsbCamera, "USB cameras",                          {A,    A,   A,   A},  true},
    {7, InputKind::File,      "files",                                {A,    A,   A,   A},  false},
    {8, InputKind::Network,   "network streams at a registered size", {X,    A,   A,   R},  false},
    {9, InputKind::None,      "no input, output settings only",       {A,    A,   A,   A},  false},
};
// clang-format on
}  // namespace use_type_table
using use_type_table::kUseTypes;

// The use type `value`, or nullptr when there is none.
inline const UseType* findUseType(int value) {
    for (const UseType& type : kUseTypes)
        if (type.value == value) return &type;
    return nullptr;
}

}  // namespace flumina
