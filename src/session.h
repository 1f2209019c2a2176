// The methods of the session class `flm`, one source file per concern. Each
// takes the session object first and returns what the Python method returns.
#pragma once

#include "python_object.h"

namespace flumina::session {

using module::Object;

// session_class.cpp: creates `flm` and binds it in the module.
void registerSession(const Object& module);
Object initialise(const Object& self);

// registration.cpp
Object add(const Object& self, const Object& input, const Object& utype, const Object& inputFormat,
           const Object& inputshape, const Object& outputinfo);
// configuration_file.cpp
Object addFromJson(const Object& self, const Object& jsonPath);
// validation.cpp
Object check(const Object& self);
// launch.cpp
Object build(const Object& self);
Object keep(const Object& self);
// frame_access.cpp
Object read(const Object& self, const Object& index);
Object show(const Object& self, const Object& frame, const Object& index);
Object push(const Object& self, const Object& frame, const Object& index);
// usb.cpp
Object usbDeviceIds(const Object& self);

}  // namespace flumina::session
