// Python errors as C++ exceptions: a failed interpreter call becomes a
// PythonError that carries the interpreter's exception, and the C entry
// points (module slots, method calls) make it the pending error again.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

namespace flumina::module {

// Takes the pending exception out of the interpreter, so that the references
// released while the C++ stack unwinds never run Python code with an error set.
class PythonError : public std::exception {
public:
    PythonError() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
    PythonError(const PythonError& other) noexcept
        : type_(other.type_), value_(other.value_), traceback_(other.traceback_) {
        Py_XINCREF(type_);
        Py_XINCREF(value_);
        Py_XINCREF(traceback_);
    }
    PythonError& operator=(const PythonError&) = delete;
    ~PythonError() override {
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(traceback_);
    }

    const char* what() const noexcept override { return "Python exception"; }

    // Makes the exception pending again; this object no longer holds it.
    void restore() noexcept {
        PyErr_Restore(type_, value_, traceback_);
        type_ = value_ = traceback_ = nullptr;
    }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

// Runs `work`; on an exception sets the matching Python error and returns false.
template <typename Work>
bool runSettingPythonError(Work&& work) noexcept {
    try {
        work();
        return true;
    } catch (PythonError& e) {
        e.restore();
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
