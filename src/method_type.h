// The function objects that the session class holds as its methods: C++
// bodies with the calling rules of a plain `def` (positional-or-keyword
// parameters, defaults, the interpreter's TypeError wording), which bind to
// an instance like Python functions and so behave in subclasses, pickling and
// `inspect.signature` as Python methods do.
#pragma once

#include <initializer_list>

#include "python_object.h"

namespace flumina::module {

// A method body: receives every parameter, `self` first, defaults filled in.
using MethodBody = Object (*)(const Object* arguments);

// A method named `name` of class `className`; `defaults` belong to the last parameters.
Object makeMethod(const char* className, const char* name, std::initializer_list<const char*> parameters,
                  const Object& defaults, MethodBody body);

}  // namespace flumina::module
