#include "import_steps.h"

// A test build overrides these to pretend the module was built for another interpreter.
#ifndef FLUMINA_COMPILED_PYTHON_MAJOR
#define FLUMINA_COMPILED_PYTHON_MAJOR PY_MAJOR_VERSION
#endif
#ifndef FLUMINA_COMPILED_PYTHON_MINOR
#define FLUMINA_COMPILED_PYTHON_MINOR PY_MINOR_VERSION
#endif

namespace flumina::module {

PythonVersion compiledPythonVersion() { return {FLUMINA_COMPILED_PYTHON_MAJOR, FLUMINA_COMPILED_PYTHON_MINOR}; }

}  // namespace flumina::module
