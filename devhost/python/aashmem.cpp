#include "aashmem.h"

#include <cstddef>
#include <string>
#include <system_error>

#include "shm_region.h"

namespace korvane::python {
namespace {

namespace py = pybind11;
using korvane::ipc::dev::ShmRegion;

// Copies at least this long are made without the interpreter lock, so that
// other Python threads run while a frame moves.
constexpr std::size_t kReleaseLockFrom = 64 * 1024;

// A byte range in a region, as the caller gave it; out of range is refused
// with ValueError before anything is touched.
struct Range {
    std::size_t length;
    std::size_t offset;
};

Range checkedRange(ShmRegion& region, py::handle length, py::handle offset, const char* what) {
    py::int_ length_ = py::reinterpret_steal<py::int_>(PyNumber_Index(length.ptr()));
    if (!length_) throw py::error_already_set();
    py::int_ offset_ = py::reinterpret_steal<py::int_>(PyNumber_Index(offset.ptr()));
    if (!offset_) throw py::error_already_set();

    auto refuse = [&] {
        throw py::value_error(std::string("cannot ") + what + " " + py::str(length_).cast<std::string>() +
                              " bytes at offset " + py::str(offset_).cast<std::string>() + " of region " +
                              region.name() + " of " + std::to_string(region.size()) + " bytes");
    };
    const unsigned long long lengthValue = PyLong_AsUnsignedLongLong(length_.ptr());
    if (PyErr_Occurred()) { PyErr_Clear(); refuse(); }
    const unsigned long long offsetValue = PyLong_AsUnsignedLongLong(offset_.ptr());
    if (PyErr_Occurred()) { PyErr_Clear(); refuse(); }
    try {
        region.span(static_cast<std::size_t>(lengthValue), static_cast<std::size_t>(offsetValue));
    } catch (const std::out_of_range&) {
        refuse();
    }
    return {static_cast<std::size_t>(lengthValue), static_cast<std::size_t>(offsetValue)};
}

// One copy: straight from the region into the new bytes object.
py::bytes getBytes(ShmRegion& region, py::handle length, py::handle offset) {
    const Range range = checkedRange(region, length, offset, "read");
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(range.length));
    if (bytes == nullptr) throw py::error_already_set();
    py::bytes result = py::reinterpret_steal<py::bytes>(bytes);
    char* destination = PyBytes_AS_STRING(bytes);
    if (range.length >= kReleaseLockFrom) {
        py::gil_scoped_release unlocked;
        region.copy_out(destination, range.length, range.offset);
    } else {
        region.copy_out(destination, range.length, range.offset);
    }
    return result;
}

// Owns a buffer view of a Python object until released.
class BufferView {
public:
    explicit BufferView(py::handle source) {
        if (PyObject_GetBuffer(source.ptr(), &view_, PyBUF_SIMPLE) != 0) throw py::error_already_set();
    }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { PyBuffer_Release(&view_); }
    const char* data() const { return static_cast<const char*>(view_.buf); }
    std::size_t size() const { return static_cast<std::size_t>(view_.len); }

private:
    Py_buffer view_{};
};

// No intermediate copy: from the caller's buffer straight into the region.
// Without the interpreter lock, since the write may wait for the host to
// take the channel's previous frame.
void setBytes(ShmRegion& region, py::handle data, py::handle length, py::handle offset) {
    BufferView source(data);
    const Range range = checkedRange(region, length, offset, "write");
    if (range.length > source.size())
        throw py::value_error("cannot write " + std::to_string(range.length) + " bytes into region " +
                              region.name() + " from a buffer of " + std::to_string(source.size()) + " bytes");
    py::gil_scoped_release unlocked;
    region.write(source.data(), range.length, range.offset);
}

}  // namespace

void registerAashmem(py::module_& module) {
    py::register_exception_translator([](std::exception_ptr thrown) {
        try {
            if (thrown) std::rethrow_exception(thrown);
        } catch (const std::system_error& e) {
            py::object error = py::handle(PyExc_OSError)(e.code().value(), e.what());
            PyErr_SetObject(PyExc_OSError, error.ptr());
        }
    });

    py::class_<ShmRegion, std::shared_ptr<ShmRegion>>(module, "Aashmem")
        .def(py::init(&ShmRegion::attach), py::arg("name"))
        .def("get_bytes", &getBytes, py::arg("length"), py::arg("offset"))
        .def("set_bytes", &setBytes, py::arg("data"), py::arg("length"), py::arg("offset"))
        .def_property_readonly("name", &ShmRegion::name)
        .def_property_readonly("size", &ShmRegion::size)
        .def_static("remove", &ShmRegion::remove, py::arg("name"))
        .def("__repr__",
             [](const ShmRegion& region) {
                 return "<Korvane.Aashmem " + region.name() + " of " + std::to_string(region.size()) + " bytes>";
             })
        // Pickled by name, so that a session object crosses into a spawned process.
        .def(py::pickle([](const ShmRegion& region) { return py::make_tuple(region.name()); },
                        [](const py::tuple& state) { return ShmRegion::attach(state[0].cast<std::string>()); }));
}

}  // namespace korvane::python
