#include <atomic>

#include "channel_words.h"
#include "channels.h"
#include "module_state.h"
#include "python_ops.h"
#include "session.h"

namespace flumina::session {
namespace {

namespace ch = flumina::channels;

// int.from_bytes(word, "little"): unsigned.
Object unsignedWord(const Object& word) {
    if (PyBytes_CheckExact(word.get()) && PyBytes_Size(word.get()) == 4)
        return Object::steal(PyLong_FromUnsignedLong(ch::loadWord(PyBytes_AsString(word.get()))));
    return Object::borrow(reinterpret_cast<PyObject*>(&PyLong_Type)).attr("from_bytes")(word, "little");
}

// 0 as a signed 4-byte little-endian word: four zero bytes, made once.
const Object& zeroWord() {
    static const Object* zero = new Object(Object::steal(PyBytes_FromStringAndSize("\0\0\0\0", 4)));
    return *zero;
}

// value.to_bytes(4, "little", signed=True); OverflowError from 2**31 on.
Object signedWord(const Object& value) {
    return value.attr("to_bytes").call({4, "little"}, {{"signed", module::boolean(true)}});
}

Object channel(const Object& self, const char* list, const Object& index) { return self.attr(list)[index]; }

// Writes the size word, then the payload; these channels carry no flag.
void writeFrame(const Object& self, const char* list, const Object& frame, const Object& index,
                std::size_t payloadOffset) {
    Object payload = frame.attr("tobytes")();
    const Object length = Object(module::len(payload));
    const Object setBytes = channel(self, list, index).attr("set_bytes");
    setBytes(signedWord(length), 4, ch::kSizeWordOffset);
    setBytes(payload, length, payloadOffset);
}

}  // namespace

Object read(const Object& self, const Object& index) {
    const Object input = channel(self, "kv", index);
    Object size = unsignedWord(input.attr("get_bytes")(4, ch::kSizeWordOffset));
    if (module::equals(size, 0)) return module::none();
    Object ready = unsignedWord(input.attr("get_bytes")(4, ch::kReadyFlagOffset));
    if (module::equals(ready, 0)) return module::none();
    // The flag was set after the payload was written: no payload byte read below is older than it.
    std::atomic_thread_fence(std::memory_order_acquire);
    Object payload = input.attr("get_bytes")(size, ch::kInputPayloadOffset);

    Object np = module::global("np");
    Object frame = np.attr("frombuffer")
                       .call({payload}, {{"dtype", np.attr("uint8")}})
                       .attr("reshape")(self.attr("input_resize")[index]);
    // Hands the channel back to the host, only once the frame is safely out of it:
    // the fence keeps the payload reads above ahead of the clear, whatever
    // ordering the region component itself promises.
    std::atomic_thread_fence(std::memory_order_release);
    input.attr("set_bytes")(zeroWord(), 4, ch::kReadyFlagOffset);
    return frame;
}

Object show(const Object& self, const Object& frame, const Object& index) {
    writeFrame(self, "diskv", frame, index, ch::kDisplayPayloadOffset);
    return module::none();
}

Object push(const Object& self, const Object& frame, const Object& index) {
    writeFrame(self, "eskv", frame, index, ch::kPushPayloadOffset);
    return module::none();
}

}  // namespace flumina::session
