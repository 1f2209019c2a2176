#include "method_type.h"

#include <structmember.h>

#include <cstddef>
#include <stdexcept>
#include <string>

namespace flumina::module {
namespace {

constexpr Py_ssize_t kMaxParameters = 8;

struct MethodObject {
    PyObject_HEAD PyObject* name;
    PyObject* qualname;
    PyObject* parameters;  // tuple of str, `self` first
    PyObject* defaults;    // tuple, for the last parameters
    MethodBody body;
};

MethodObject* asMethod(PyObject* object) { return reinterpret_cast<MethodObject*>(object); }

Py_ssize_t parameterCount(MethodObject* method) { return PyTuple_Size(method->parameters); }
Py_ssize_t requiredCount(MethodObject* method) { return parameterCount(method) - PyTuple_Size(method->defaults); }

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's list of missing names.
std::string quotedList(const std::string* names, Py_ssize_t count) {
    std::string text;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (i > 0) text += count == 2 ? " and " : (i + 1 == count ? ", and " : ", ");
        text += "'" + names[i] + "'";
    }
    return text;
}

PyObject* tooManyPositional(MethodObject* method, Py_ssize_t given) {
    const Py_ssize_t total = parameterCount(method);
    const Py_ssize_t required = requiredCount(method);
    const std::string takes =
        required == total ? std::to_string(total) : "from " + std::to_string(required) + " to " + std::to_string(total);
    PyErr_Format(PyExc_TypeError, "%U() takes %s positional argument%s but %zd %s given", method->qualname,
                 takes.c_str(), total == 1 && required == total ? "" : "s", given, given == 1 ? "was" : "were");
    return nullptr;
}

PyObject* missingArguments(MethodObject* method, PyObject** bound) {
    std::string names[kMaxParameters];
    Py_ssize_t count = 0;
    for (Py_ssize_t i = 0; i < requiredCount(method); ++i)
        if (bound[i] == nullptr)
            names[count++] = PyUnicode_AsUTF8AndSize(PyTuple_GetItem(method->parameters, i), nullptr);
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %s", method->qualname, count,
                 count == 1 ? "" : "s", quotedList(names, count).c_str());
    return nullptr;
}

Py_ssize_t parameterIndex(MethodObject* method, PyObject* keyword) {
    for (Py_ssize_t i = 0; i < parameterCount(method); ++i)
        if (PyUnicode_Compare(PyTuple_GetItem(method->parameters, i), keyword) == 0) return i;
    return -1;
}

PyObject* call(PyObject* callable, PyObject* args, PyObject* kwargs) {
    MethodObject* method = asMethod(callable);
    const Py_ssize_t total = parameterCount(method);
    const Py_ssize_t given = PyTuple_Size(args);
    if (given > total) return tooManyPositional(method, given);

    PyObject* bound[kMaxParameters] = {};
    for (Py_ssize_t i = 0; i < given; ++i) bound[i] = PyTuple_GetItem(args, i);
    Py_ssize_t position = 0;
    PyObject* keyword = nullptr;
    PyObject* value = nullptr;
    while (kwargs != nullptr && PyDict_Next(kwargs, &position, &keyword, &value)) {
        const Py_ssize_t at = parameterIndex(method, keyword);
        if (at < 0) {
            PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", method->qualname, keyword);
            return nullptr;
        }
        if (bound[at] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", method->qualname, keyword);
            return nullptr;
        }
        bound[at] = value;
    }
    const Py_ssize_t required = requiredCount(method);
    for (Py_ssize_t i = 0; i < total; ++i) {
        if (bound[i] != nullptr) continue;
        if (i < required) return missingArguments(method, bound);
        bound[i] = PyTuple_GetItem(method->defaults, i - required);
    }

    PyObject* result = nullptr;
    runSettingPythonError([&] {
        Object arguments[kMaxParameters];
        for (Py_ssize_t i = 0; i < total; ++i) arguments[i] = Object::borrow(bound[i]);
        result = method->body(arguments).release();
    });
    return result;
}

// Looked up on the class: the function itself; on an instance: a bound method
// (types.MethodType, kept for the life of the process).
PyObject* bind(PyObject* self, PyObject* instance, PyObject* /*owner*/) {
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    PyObject* boundMethod = nullptr;
    runSettingPythonError([&] {
        static PyObject* boundMethodType = importModule("types").attr("MethodType").release();
        boundMethod = Object::borrow(boundMethodType)(Object::borrow(self), Object::borrow(instance)).release();
    });
    return boundMethod;
}

PyObject* signature(PyObject* self, void*) {
    MethodObject* method = asMethod(self);
    PyObject* result = nullptr;
    runSettingPythonError([&] {
        const Object inspect = importModule("inspect");
        const Object parameter = inspect.attr("Parameter");
        const Object kind = parameter.attr("POSITIONAL_OR_KEYWORD");
        const Object parameters = listOf({});
        const Py_ssize_t required = requiredCount(method);
        for (Py_ssize_t i = 0; i < parameterCount(method); ++i) {
            const Object name = Object::borrow(PyTuple_GetItem(method->parameters, i));
            const Object described =
                i < required
                    ? parameter(name, kind)
                    : parameter.call({name, kind},
                                     {{"default", Object::borrow(PyTuple_GetItem(method->defaults, i - required))}});
            if (PyList_Append(parameters.get(), described.get()) < 0) throw PythonError();
        }
        result = inspect.attr("Signature")(parameters).release();
    });
    return result;
}

// Pickled by reference, as module-level functions are: "flm.add" in module flumina.
PyObject* reduce(PyObject* self, PyObject*) { return Py_NewRef(asMethod(self)->qualname); }

PyObject* repr(PyObject* self) { return PyUnicode_FromFormat("<function %U at %p>", asMethod(self)->qualname, self); }

void dealloc(PyObject* self) {
    MethodObject* method = asMethod(self);
    Py_XDECREF(method->name);
    Py_XDECREF(method->qualname);
    Py_XDECREF(method->parameters);
    Py_XDECREF(method->defaults);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_Free(self);
    Py_DECREF(type);  // instances of a heap type hold a reference to it
}

PyMemberDef members[] = {
    {"__name__", T_OBJECT, offsetof(MethodObject, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(MethodObject, qualname), READONLY, nullptr},
    {"__defaults__", T_OBJECT, offsetof(MethodObject, defaults), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef accessors[] = {
    {"__signature__", signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef functions[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_call, reinterpret_cast<void*>(call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(bind)},
    {Py_tp_methods, functions},
    {Py_tp_members, members},
    {Py_tp_getset, accessors},
    {0, nullptr},
};

// The type's name makes flm.add.__module__ "flumina"; no docstring, so __doc__ is None.
PyType_Spec spec = {
    "flumina.method",
    sizeof(MethodObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

// Created once, kept for the life of the process.
PyTypeObject* methodType() {
    static PyObject* type = Object::steal(PyType_FromSpec(&spec)).release();
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

Object makeMethod(const char* className, const char* name, std::initializer_list<const char*> parameters,
                  const Object& defaults, MethodBody body) {
    const auto count = static_cast<Py_ssize_t>(parameters.size());
    if (count > kMaxParameters || len(defaults) > count)
        throw std::logic_error(std::string("method ") + name + " has more parameters or defaults than it can bind");
    Object names = Object::steal(PyTuple_New(count));
    Py_ssize_t i = 0;
    for (const char* parameter : parameters)
        if (PyTuple_SetItem(names.get(), i++, Object(parameter).release()) < 0) throw PythonError();
    Object plainName(name);
    Object qualifiedName((std::string(className) + "." + name).c_str());
    Object ownDefaults = defaults;

    MethodObject* method = PyObject_New(MethodObject, methodType());
    if (method == nullptr) throw PythonError();
    method->name = plainName.release();
    method->qualname = qualifiedName.release();
    method->parameters = names.release();
    method->defaults = ownDefaults.release();
    method->body = body;
    return Object::steal(reinterpret_cast<PyObject*>(method));
}

}  // namespace flumina::module
