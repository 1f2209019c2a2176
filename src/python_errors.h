// Turning C++ exceptions into the pending Python error at the C entry points
// (module slots, method calls).
#pragma once

#include <new>
#include <stdexcept>

#include <pybind11/pybind11.h>

namespace flumina::module {

// Runs `work`; on an exception sets the matching Python error and returns false.
template <typename Work>
bool runSettingPythonError(Work&& work) noexcept {
    try {
        work();
        return true;
    } catch (pybind11::error_already_set& e) {
        e.restore();
    } catch (const pybind11::builtin_exception& e) {
        e.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception in module flumina");
    }
    return false;
}

}  // namespace flumina::module
