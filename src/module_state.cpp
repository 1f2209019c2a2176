#include "module_state.h"

#include <cstdint>

namespace flumina::module {
namespace {

// Strong references, never released: they live as long as the process
// (single-phase state of a module that refuses re-initialisation).
struct State {
    std::int64_t interpreter = -1;
    PyObject* module = nullptr;
    PyObject* builtinsDict = nullptr;
    PyObject* valueError = nullptr;
    PyObject* print = nullptr;
    PyObject* range = nullptr;
    PyObject* open = nullptr;
};

State state;

[[noreturn]] void notDefined(const char* name) {
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw PythonError();
}

PyObject* builtin(PyObject* builtins, const char* name) {
    PyObject* found = PyDict_GetItemString(builtins, name);
    if (found == nullptr) notDefined(name);
    return Py_NewRef(found);
}

}  // namespace

bool refuseOtherInterpreter() {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (state.interpreter == -1) state.interpreter = current;
    if (current == state.interpreter) return true;
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return false;
}

PyObject* initialisedModule() { return state.module; }

void rememberModule(PyObject* module) { state.module = Py_NewRef(module); }

void forgetModule() {
    Py_CLEAR(state.module);
    Py_CLEAR(state.builtinsDict);
    Py_CLEAR(state.valueError);
    Py_CLEAR(state.print);
    Py_CLEAR(state.range);
    Py_CLEAR(state.open);
}

void takeBuiltins() {
    const Object builtins = importModule("builtins");
    PyObject* dict = PyModule_GetDict(builtins.get());
    state.builtinsDict = Py_NewRef(dict);
    state.valueError = builtin(dict, "ValueError");
    state.print = builtin(dict, "print");
    state.range = builtin(dict, "range");
    state.open = builtin(dict, "open");
}

Object global(const char* name) {
    PyObject* found = PyDict_GetItemString(PyModule_GetDict(state.module), name);
    if (found == nullptr) found = PyDict_GetItemString(state.builtinsDict, name);
    if (found == nullptr) notDefined(name);
    return Object::borrow(found);
}

void refuse(const char* message) {
    PyErr_SetObject(state.valueError, Object(message).get());
    throw PythonError();
}

void print(const Object& value) { Object::borrow(state.print)(value); }

Object openFile(const Object& path, const char* mode) { return Object::borrow(state.open)(path, mode); }

}  // namespace flumina::module
