// The steps of initialising the module that concern its environment: the
// interpreter version and the modules it binds in its namespace.
#pragma once

#include <pybind11/pybind11.h>

namespace flumina::module {

namespace py = pybind11;

struct PythonVersion {
    int major;
    int minor;
};

// The interpreter version the module was compiled against (compiled_version.cpp).
PythonVersion compiledPythonVersion();

// Emits a RuntimeWarning when the running interpreter's major.minor differs
// from the compiled one; throws if the warnings filter makes it an error.
void warnOnVersionMismatch();

// Imports os, cv2, numpy (as np), multiprocessing, time, json, android and
// Aashmem from Korvane into the module namespace, in this order.
void bindDependencies(py::module_ module);

}  // namespace flumina::module
