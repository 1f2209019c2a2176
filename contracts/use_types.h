// The use types: the session kinds that a "stream" request names in its
// second argument. The Python module works one out from the streams a script
// registers; a native caller passes one to Android::start. Every stream of a
// session has the use type's kind of input.
#pragma once

namespace flumina {

// The values are the input-kind codes that the Python module keeps in `used_device`.
enum class InputKind { Network = 0, Camera = 1, UsbCamera = 2, File = 3, None = 4 };

struct UseType {
    int value;
    InputKind input;
    const char* meaning;
};

inline constexpr UseType kUseTypes[] = {
    {1, InputKind::Network, "network streams, decoded frames only"},
    {2, InputKind::Network, "network streams pushed to addresses"},
    {3, InputKind::Network, "network streams saved to files"},
    {4, InputKind::Camera, "cameras without push output"},
    {5, InputKind::Camera, "cameras pushed to addresses"},
    {6, InputKind::UsbCamera, "USB cameras"},
    {7, InputKind::File, "files"},
    {8, InputKind::Network, "network streams at a registered size"},
    {9, InputKind::None, "no input, output settings only"},
};

// The use type `value`, or nullptr when there is none.
inline const UseType* findUseType(int value) {
    for (const UseType& type : kUseTypes)
        if (type.value == value) return &type;
    return nullptr;
}

}  // namespace flumina
