// Korvane: development stand-in for the host's Python module, over the same
// region component as the native clients and the host service.
#include <pybind11/pybind11.h>

#include "aashmem.h"

PYBIND11_MODULE(Korvane, module) { korvane::python::registerAashmem(module); }
