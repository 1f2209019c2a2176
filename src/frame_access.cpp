#include <atomic>
#include <cstdint>

#include "channels.h"
#include "module_state.h"
#include "python_ops.h"
#include "session.h"

namespace flumina::session {
namespace {

namespace ch = flumina::channels;

// int.from_bytes(word, "little"): unsigned.
py::object unsignedWord(py::handle word) {
    if (PyBytes_CheckExact(word.ptr()) && PyBytes_GET_SIZE(word.ptr()) == 4) {
        const auto* b = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(word.ptr()));
        return py::int_(std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 |
                        std::uint32_t{b[3]} << 24);
    }
    return py::handle(reinterpret_cast<PyObject*>(&PyLong_Type)).attr("from_bytes")(word, "little");
}

// value.to_bytes(4, "little", signed=True); OverflowError from 2**31 on.
py::object signedWord(py::handle value) {
    return value.attr("to_bytes")(4, "little", py::arg("signed") = true);
}

py::object channel(py::handle self, const char* list, py::handle index) { return self.attr(list)[index]; }

// Writes the size word, then the payload; the host samples these channels, there is no flag.
void writeFrame(py::handle self, const char* list, py::handle frame, py::handle index, std::size_t payloadOffset) {
    py::object payload = frame.attr("tobytes")();
    py::object length = py::int_(py::len(payload));
    channel(self, list, index).attr("set_bytes")(signedWord(length), 4, ch::kSizeWordOffset);
    channel(self, list, index).attr("set_bytes")(payload, length, payloadOffset);
}

}  // namespace

py::object read(py::handle self, py::handle index) {
    py::object size = unsignedWord(channel(self, "kv", index).attr("get_bytes")(4, ch::kSizeWordOffset));
    if (module::equals(size, 0)) return py::none();
    py::object ready = unsignedWord(channel(self, "kv", index).attr("get_bytes")(4, ch::kReadyFlagOffset));
    if (module::equals(ready, 0)) return py::none();
    // The flag was set after the payload was written: no payload byte read below is older than it.
    std::atomic_thread_fence(std::memory_order_acquire);
    py::object payload = channel(self, "kv", index).attr("get_bytes")(size, ch::kInputPayloadOffset);

    py::object np = module::global("np");
    py::object frame = np.attr("frombuffer")(payload, py::arg("dtype") = np.attr("uint8"))
                           .attr("reshape")(self.attr("input_resize")[index]);
    // Hands the channel back to the host, only once the frame is safely out of it:
    // the fence keeps the payload reads above ahead of the clear, whatever
    // ordering the region component itself promises.
    std::atomic_thread_fence(std::memory_order_release);
    channel(self, "kv", index).attr("set_bytes")(signedWord(py::int_(0)), 4, ch::kReadyFlagOffset);
    return frame;
}

py::object show(py::handle self, py::handle frame, py::handle index) {
    writeFrame(self, "diskv", frame, index, ch::kDisplayPayloadOffset);
    return py::none();
}

py::object push(py::handle self, py::handle frame, py::handle index) {
    writeFrame(self, "eskv", frame, index, ch::kPushPayloadOffset);
    return py::none();
}

}  // namespace flumina::session
