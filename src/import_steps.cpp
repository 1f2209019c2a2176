#include "import_steps.h"

#include <cstdio>
#include <cstdlib>

namespace flumina::module {
namespace {

struct PythonVersion {
    int major;
    int minor;
};

// The build sets Py_LIMITED_API to the oldest interpreter the module loads in
// (0xMMmm0000): that is the version it is compiled for.
constexpr PythonVersion kCompiledVersion{(Py_LIMITED_API >> 24) & 0xff, (Py_LIMITED_API >> 16) & 0xff};

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
Object importAashmem(const Object& module) {
    const Object fromList = listOf({"Aashmem"});
    const Object korvane = Object::steal(
        PyImport_ImportModuleLevel("Korvane", PyModule_GetDict(module.get()), nullptr, fromList.get(), 0));

    PyObject* found = PyObject_GetAttrString(korvane.get(), "Aashmem");
    if (found != nullptr) return Object::steal(found);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError();
    PyErr_Clear();

    const Object submoduleName =
        Object::steal(PyUnicode_FromFormat("%S.%s", korvane.attr("__name__").get(), "Aashmem"));
    PyObject* submodule = PyImport_GetModule(submoduleName.get());
    if (submodule != nullptr) return Object::steal(submodule);
    if (PyErr_Occurred() != nullptr) throw PythonError();
    PyErr_Format(PyExc_ImportError, "cannot import name %S", Object("Aashmem").get());
    throw PythonError();
}

}  // namespace

void warnOnVersionMismatch() {
    const PythonVersion compiled = kCompiledVersion;
    const PythonVersion running = runningPythonVersion();
    if (compiled.major == running.major && compiled.minor == running.minor) return;
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", compiled.major,
                  compiled.minor, "flumina", "does not match", running.major, running.minor);
    if (PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) < 0) throw PythonError();
}

void bindDependencies(const Object& module) {
    module.setAttr("os", importModule("os"));
    module.setAttr("cv2", importModule("cv2"));
    module.setAttr("np", importModule("numpy"));
    module.setAttr("multiprocessing", importModule("multiprocessing"));
    module.setAttr("time", importModule("time"));
    module.setAttr("json", importModule("json"));
    module.setAttr("android", importModule("android"));
    module.setAttr("Aashmem", importAashmem(module));
}

}  // namespace flumina::module
