// What the module keeps for the life of the process: the interpreter and the
// module object it was initialised for, and the built-ins its methods use.
#pragma once

#include "python_object.h"

namespace flumina::module {

// Records the first interpreter that loads the module; for any other it sets
// ImportError and returns false. The module's state belongs to the first one.
bool refuseOtherInterpreter();

// The initialised module object, or nullptr when none is (yet, or any more).
PyObject* initialisedModule();
void rememberModule(PyObject* module);
// Drops the module and the built-ins after a failed initialisation.
void forgetModule();

// Takes ValueError, print, range and open from the built-ins, once per initialisation.
void takeBuiltins();

// A name as a method body resolves it: the module namespace, then the
// built-ins; NameError otherwise. Looked up afresh at every call, so that
// rebinding flumina.np or flumina.time takes effect.
Object global(const char* name);

// raise ValueError(message), with the ValueError taken at initialisation.
[[noreturn]] void refuse(const char* message);
// print(value), with the print taken at initialisation.
void print(const Object& value);
// open(path, mode), with the open taken at initialisation.
Object openFile(const Object& path, const char* mode);

}  // namespace flumina::module
