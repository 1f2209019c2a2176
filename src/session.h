// The methods of the session class `flm`, one source file per concern. Each
// takes the session object first and returns what the Python method returns.
#pragma once

#include <pybind11/pybind11.h>

namespace flumina::session {

namespace py = pybind11;

// session_class.cpp: creates `flm` and binds it in the module.
void registerSession(py::module_ module);
py::object initialise(py::handle self);

// registration.cpp
py::object add(py::handle self, py::handle input, py::handle utype, py::handle inputFormat, py::handle inputshape,
               py::handle outputinfo);
// configuration_file.cpp
py::object addFromJson(py::handle self, py::handle jsonPath);
// validation.cpp
py::object check(py::handle self);
// launch.cpp
py::object build(py::handle self);
py::object keep(py::handle self);
// frame_access.cpp
py::object read(py::handle self, py::handle index);
py::object show(py::handle self, py::handle frame, py::handle index);
py::object push(py::handle self, py::handle frame, py::handle index);
// usb.cpp
py::object usbDeviceIds(py::handle self);

}  // namespace flumina::session
