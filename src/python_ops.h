// Python operators with Python's semantics (rich comparison, `in`), for the
// session methods, which must behave exactly as the same Python code would.
#pragma once

#include <pybind11/pybind11.h>

namespace flumina::module {

namespace py = pybind11;

// The truth of a freshly returned result (nullptr: the pending error is thrown).
inline bool truthOf(PyObject* result) {
    py::object owned = py::reinterpret_steal<py::object>(result);
    if (!owned) throw py::error_already_set();
    const int truth = PyObject_IsTrue(owned.ptr());
    if (truth < 0) throw py::error_already_set();
    return truth == 1;
}

// a == b as the operator evaluates it: no identity shortcut.
inline bool equals(py::handle a, py::handle b) { return truthOf(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ)); }
inline bool equals(py::handle a, long b) { return equals(a, py::int_(b)); }
inline bool notEquals(py::handle a, py::handle b) { return truthOf(PyObject_RichCompare(a.ptr(), b.ptr(), Py_NE)); }

// item in container.
inline bool contains(py::handle container, py::handle item) {
    const int found = PySequence_Contains(container.ptr(), item.ptr());
    if (found < 0) throw py::error_already_set();
    return found == 1;
}
inline bool contains(py::handle container, const char* item) { return contains(container, py::str(item)); }

inline bool isStr(py::handle value) { return PyUnicode_Check(value.ptr()); }

}  // namespace flumina::module
