// Entry point of the extension module `flumina`: multi-phase initialisation,
// so that the module can refuse a second interpreter, hand back the module
// object it already initialised, and refuse to initialise another one.
#include "import_steps.h"
#include "module_state.h"
#include "python_errors.h"
#include "session.h"

namespace {

using namespace flumina::module;

PyObject* createModule(PyObject* spec, PyModuleDef* /*definition*/) {
    if (!refuseOtherInterpreter()) return nullptr;
    PyObject* created = nullptr;
    runSettingPythonError([&] {
        if (PyObject* existing = initialisedModule()) {
            created = Py_NewRef(existing);
            return;
        }
        created = PyModule_NewObject(Object::borrow(spec).attr("name").get());
    });
    return created;
}

int executeModule(PyObject* module) {
    if (PyObject* existing = initialisedModule()) {
        if (existing == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'flumina' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    rememberModule(module);
    const bool done = runSettingPythonError([&] {
        warnOnVersionMismatch();
        takeBuiltins();
        const Object namespace_ = Object::borrow(module);
        bindDependencies(namespace_);
        flumina::session::registerSession(namespace_);
    });
    if (!done) forgetModule();
    return done ? 0 : -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(createModule)},
    {Py_mod_exec, reinterpret_cast<void*>(executeModule)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "flumina", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_flumina() { return PyModuleDef_Init(&definition); }
