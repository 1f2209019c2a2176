#include "import_steps.h"

#include <cstdio>
#include <cstdlib>

namespace flumina::module {
namespace {

// major.minor of the running interpreter, from its version text ("3.11.2 (main, ...").
PythonVersion runningPythonVersion() {
    const char* text = Py_GetVersion();
    char* end = nullptr;
    PythonVersion running{};
    running.major = static_cast<int>(std::strtol(text, &end, 10));
    running.minor = *end == '.' ? static_cast<int>(std::strtol(end + 1, nullptr, 10)) : 0;
    return running;
}

// from Korvane import Aashmem: the attribute, else an already imported submodule.
py::object importAashmem(py::module_ module) {
    py::list fromList;
    fromList.append("Aashmem");
    py::object korvane = py::reinterpret_steal<py::object>(
        PyImport_ImportModuleLevel("Korvane", PyModule_GetDict(module.ptr()), nullptr, fromList.ptr(), 0));
    if (!korvane) throw py::error_already_set();

    PyObject* found = PyObject_GetAttrString(korvane.ptr(), "Aashmem");
    if (found != nullptr) return py::reinterpret_steal<py::object>(found);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();

    py::object packageName = korvane.attr("__name__");
    py::object submoduleName = py::str("{}.{}").format(packageName, "Aashmem");
    PyObject* submodule = PyImport_GetModule(submoduleName.ptr());
    if (submodule != nullptr) return py::reinterpret_steal<py::object>(submodule);
    if (PyErr_Occurred()) throw py::error_already_set();
    PyErr_Format(PyExc_ImportError, "cannot import name %S", py::str("Aashmem").ptr());
    throw py::error_already_set();
}

}  // namespace

void warnOnVersionMismatch() {
    const PythonVersion compiled = compiledPythonVersion();
    const PythonVersion running = runningPythonVersion();
    if (compiled.major == running.major && compiled.minor == running.minor) return;
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", compiled.major,
                  compiled.minor, "flumina", "does not match", running.major, running.minor);
    if (PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) < 0) throw py::error_already_set();
}

void bindDependencies(py::module_ module) {
    module.attr("os") = py::module_::import("os");
    module.attr("cv2") = py::module_::import("cv2");
    module.attr("np") = py::module_::import("numpy");
    module.attr("multiprocessing") = py::module_::import("multiprocessing");
    module.attr("time") = py::module_::import("time");
    module.attr("json") = py::module_::import("json");
    module.attr("android") = py::module_::import("android");
    module.attr("Aashmem") = importAashmem(module);
}

}  // namespace flumina::module
