// Python operators with Python's semantics (truth, rich comparison, `in`),
// for the session methods, which must behave exactly as the same Python
// code would.
#pragma once

#include "python_object.h"

namespace flumina::module {

inline bool truthOf(const Object& value) {
    const int truth = PyObject_IsTrue(value.get());
    if (truth < 0) throw PythonError();
    return truth == 1;
}

// a == b and its siblings as the operators evaluate them: no identity shortcut.
inline bool compare(const Object& a, const Object& b, int operation) {
    return truthOf(Object::steal(PyObject_RichCompare(a.get(), b.get(), operation)));
}
inline bool equals(const Object& a, const Object& b) { return compare(a, b, Py_EQ); }
inline bool notEquals(const Object& a, const Object& b) { return compare(a, b, Py_NE); }

// item in container.
inline bool contains(const Object& container, const Object& item) {
    const int found = PySequence_Contains(container.get(), item.get());
    if (found < 0) throw PythonError();
    return found == 1;
}

inline bool isStr(const Object& value) { return PyUnicode_Check(value.get()); }

}  // namespace flumina::module
