#include "method_type.h"

#include <cstddef>
#include <string>

#include <structmember.h>

#include "python_errors.h"

namespace flumina::module {
namespace {

constexpr Py_ssize_t kMaxParameters = 8;

struct MethodObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* name;
    PyObject* qualname;
    PyObject* moduleName;
    PyObject* parameters;  // tuple of str, `self` first
    PyObject* defaults;    // tuple, for the last parameters
    MethodBody body;
};

MethodObject* asMethod(PyObject* object) { return reinterpret_cast<MethodObject*>(object); }

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
    const Py_ssize_t total = PyTuple_GET_SIZE(method->parameters);
    const Py_ssize_t required = total - PyTuple_GET_SIZE(method->defaults);
    const std::string takes = required == total ? std::to_string(total)
                                                : "from " + std::to_string(required) + " to " + std::to_string(total);
    PyErr_Format(PyExc_TypeError, "%U() takes %s positional argument%s but %zd %s given", method->qualname,
                 takes.c_str(), total == 1 && required == total ? "" : "s", given, given == 1 ? "was" : "were");
    return nullptr;
}

PyObject* missingArguments(MethodObject* method, PyObject** bound, Py_ssize_t required) {
    std::string names[kMaxParameters];
    Py_ssize_t count = 0;
    for (Py_ssize_t i = 0; i < required; ++i)
        if (bound[i] == nullptr) names[count++] = PyUnicode_AsUTF8(PyTuple_GET_ITEM(method->parameters, i));
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %s", method->qualname, count,
                 count == 1 ? "" : "s", quotedList(names, count).c_str());
    return nullptr;
}

Py_ssize_t parameterIndex(MethodObject* method, PyObject* keyword) {
    const Py_ssize_t total = PyTuple_GET_SIZE(method->parameters);
    for (Py_ssize_t i = 0; i < total; ++i)
        if (PyUnicode_Compare(PyTuple_GET_ITEM(method->parameters, i), keyword) == 0) return i;
    return -1;
}

PyObject* call(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    MethodObject* method = asMethod(callable);
    const Py_ssize_t total = PyTuple_GET_SIZE(method->parameters);
    const Py_ssize_t given = PyVectorcall_NARGS(nargsf);
    if (given > total) return tooManyPositional(method, given);

    PyObject* bound[kMaxParameters] = {};
    for (Py_ssize_t i = 0; i < given; ++i) bound[i] = args[i];
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        const Py_ssize_t at = parameterIndex(method, keyword);
        if (at < 0) {
            PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", method->qualname, keyword);
            return nullptr;
        }
        if (bound[at] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", method->qualname, keyword);
            return nullptr;
        }
        bound[at] = args[given + k];
    }
    const Py_ssize_t required = total - PyTuple_GET_SIZE(method->defaults);
    for (Py_ssize_t i = 0; i < total; ++i) {
        if (bound[i] != nullptr) continue;
        if (i < required) return missingArguments(method, bound, required);
        bound[i] = PyTuple_GET_ITEM(method->defaults, i - required);
    }

    py::handle handles[kMaxParameters];
    for (Py_ssize_t i = 0; i < total; ++i) handles[i] = bound[i];
    py::object result;
    if (!runSettingPythonError([&] { result = method->body(handles); })) return nullptr;
    return result.release().ptr();
}

// Looked up on the class: the function itself; on an instance: a bound method.
PyObject* bind(PyObject* self, PyObject* instance, PyObject* /*owner*/) {
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyObject* signature(PyObject* self, void*) {
    MethodObject* method = asMethod(self);
    PyObject* result = nullptr;
    runSettingPythonError([&] {
        py::module_ inspect = py::module_::import("inspect");
        py::object parameter = inspect.attr("Parameter");
        py::object kind = parameter.attr("POSITIONAL_OR_KEYWORD");
        py::list parameters;
        const Py_ssize_t total = PyTuple_GET_SIZE(method->parameters);
        const Py_ssize_t required = total - PyTuple_GET_SIZE(method->defaults);
        for (Py_ssize_t i = 0; i < total; ++i) {
            py::handle name = PyTuple_GET_ITEM(method->parameters, i);
            if (i < required)
                parameters.append(parameter(name, kind));
            else
                parameters.append(parameter(name, kind, py::arg("default") =
                                                            py::handle(PyTuple_GET_ITEM(method->defaults, i - required))));
        }
        result = inspect.attr("Signature")(parameters).release().ptr();
    });
    return result;
}

PyObject* noDocstring(PyObject*, void*) { Py_RETURN_NONE; }

// Pickled by reference, as module-level functions are: "flm.add" in module flumina.
PyObject* reduce(PyObject* self, PyObject*) { return Py_NewRef(asMethod(self)->qualname); }

PyObject* repr(PyObject* self) { return PyUnicode_FromFormat("<function %U at %p>", asMethod(self)->qualname, self); }

void dealloc(PyObject* self) {
    MethodObject* method = asMethod(self);
    Py_XDECREF(method->name);
    Py_XDECREF(method->qualname);
    Py_XDECREF(method->moduleName);
    Py_XDECREF(method->parameters);
    Py_XDECREF(method->defaults);
    PyObject_Free(self);
}

PyMemberDef members[] = {
    {"__name__", T_OBJECT, offsetof(MethodObject, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(MethodObject, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(MethodObject, moduleName), READONLY, nullptr},
    {"__defaults__", T_OBJECT, offsetof(MethodObject, defaults), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef accessors[] = {
    {"__signature__", signature, nullptr, nullptr, nullptr},
    {"__doc__", noDocstring, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef functions[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* methodType() {
    static PyTypeObject type = [] {
        PyTypeObject t{};
        Py_SET_REFCNT(reinterpret_cast<PyObject*>(&t), 1);  // static: never deallocated
        t.tp_name = "flumina.method";
        t.tp_basicsize = sizeof(MethodObject);
        t.tp_dealloc = dealloc;
        t.tp_vectorcall_offset = offsetof(MethodObject, vectorcall);
        t.tp_repr = repr;
        t.tp_call = PyVectorcall_Call;
        t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
        t.tp_methods = functions;
        t.tp_members = members;
        t.tp_getset = accessors;
        t.tp_descr_get = bind;
        return t;
    }();
    if ((type.tp_flags & Py_TPFLAGS_READY) == 0 && PyType_Ready(&type) < 0) throw py::error_already_set();
    return &type;
}

}  // namespace

py::object makeMethod(const char* className, const char* name, std::initializer_list<const char*> parameters,
                      py::tuple defaults, MethodBody body) {
    if (static_cast<Py_ssize_t>(parameters.size()) > kMaxParameters ||
        py::len(defaults) > parameters.size())
        throw std::logic_error(std::string("method ") + name + " has more parameters or defaults than it can bind");
    py::tuple names(parameters.size());
    std::size_t i = 0;
    for (const char* parameter : parameters) names[i++] = py::str(parameter);
    py::str plainName(name);
    py::str qualifiedName(std::string(className) + "." + name);
    py::str moduleName("flumina");

    MethodObject* method = PyObject_New(MethodObject, methodType());
    if (method == nullptr) throw py::error_already_set();
    method->vectorcall = call;
    method->name = plainName.release().ptr();
    method->qualname = qualifiedName.release().ptr();
    method->moduleName = moduleName.release().ptr();
    method->parameters = names.release().ptr();
    method->defaults = defaults.release().ptr();
    method->body = body;
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(method));
}

}  // namespace flumina::module
