// The steps of initialising the module that concern its environment: the
// interpreter version and the modules it binds in its namespace.
#pragma once

#include "python_object.h"

namespace flumina::module {

// Emits a RuntimeWarning when the running interpreter's major.minor differs
// from the one whose stable ABI the module is built for; throws if the
// warnings filter makes it an error.
void warnOnVersionMismatch();

// Imports os, cv2, numpy (as np), multiprocessing, time, json, android and
// Aashmem from Korvane into the module namespace, in this order.
void bindDependencies(const Object& module);

}  // namespace flumina::module
