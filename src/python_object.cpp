#include "python_object.h"

namespace flumina::module {

Object Object::call(std::initializer_list<Object> positional,
                    std::initializer_list<std::pair<const char*, Object>> keywords) const {
    const Object arguments = tupleOf(positional);
    Object named;
    if (keywords.size() > 0) {
        named = newDict();
        for (const auto& [name, value] : keywords)
            if (PyDict_SetItemString(named.get(), name, value.get()) < 0) throw PythonError();
    }
    return steal(PyObject_Call(object_, arguments.get(), named.get()));
}

Object tupleOf(std::initializer_list<Object> items) {
    Object tuple = Object::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (Object item : items)
        if (PyTuple_SetItem(tuple.get(), i++, item.release()) < 0) throw PythonError();
    return tuple;
}

Object listOf(std::initializer_list<Object> items) {
    Object list = Object::steal(PyList_New(0));
    for (const Object& item : items)
        if (PyList_Append(list.get(), item.get()) < 0) throw PythonError();
    return list;
}

Py_ssize_t len(const Object& object) {
    const Py_ssize_t length = PyObject_Size(object.get());
    if (length < 0) throw PythonError();
    return length;
}

}  // namespace flumina::module
