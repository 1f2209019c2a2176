// Binds the region component's ShmRegion as Korvane.Aashmem.
#pragma once

#include <pybind11/pybind11.h>

namespace korvane::python {

void registerAashmem(pybind11::module_& module);

}  // namespace korvane::python
