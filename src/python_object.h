// Owned references to Python objects and the operations the module performs
// on them, on the stable ABI only; whatever the interpreter reports as a
// failure is thrown as PythonError.
#pragma once

#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <string>
#include <utility>

#include "python_errors.h"

namespace flumina::module {

class Object {
public:
    Object() = default;
    // Takes over a new reference; nullptr means the call that returned it failed.
    static Object steal(PyObject* object) {
        if (object == nullptr) throw PythonError();
        return Object(object);
    }
    static Object borrow(PyObject* object) {
        Py_XINCREF(object);
        return Object(object);
    }
    // C++ values become str and int, so that they can stand as arguments.
    Object(const char* text) : Object(steal(PyUnicode_FromString(text))) {}
    Object(const std::string& text)
        : Object(steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())))) {}
    Object(int value) : Object(static_cast<long>(value)) {}
    Object(long value) : Object(steal(PyLong_FromLong(value))) {}
    Object(std::size_t value) : Object(steal(PyLong_FromSize_t(value))) {}
    Object(bool) = delete;  // would be an int: say boolean()

    Object(const Object& other) noexcept : object_(other.object_) { Py_XINCREF(object_); }
    Object(Object&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Object& operator=(Object other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~Object() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    // Hands the reference over, to a C entry point that returns it.
    PyObject* release() { return std::exchange(object_, nullptr); }
    bool isNone() const { return object_ == Py_None; }

    Object attr(const char* name) const { return steal(PyObject_GetAttrString(object_, name)); }
    void setAttr(const char* name, const Object& value) const {
        if (PyObject_SetAttrString(object_, name, value.object_) < 0) throw PythonError();
    }
    Object operator[](const Object& key) const { return steal(PyObject_GetItem(object_, key.object_)); }
    void setItem(const Object& key, const Object& value) const {
        if (PyObject_SetItem(object_, key.object_, value.object_) < 0) throw PythonError();
    }

    template <typename... Arguments>
    Object operator()(const Arguments&... arguments) const {
        return call({Object(arguments)...}, {});
    }
    // self(*positional, **keywords)
    Object call(std::initializer_list<Object> positional,
                std::initializer_list<std::pair<const char*, Object>> keywords) const;

private:
    explicit Object(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

inline Object none() { return Object::borrow(Py_None); }
inline Object boolean(bool value) { return Object::borrow(value ? Py_True : Py_False); }
inline Object newDict() { return Object::steal(PyDict_New()); }
inline Object importModule(const char* name) { return Object::steal(PyImport_ImportModule(name)); }
Object tupleOf(std::initializer_list<Object> items);
Object listOf(std::initializer_list<Object> items);
// len(object)
Py_ssize_t len(const Object& object);

// Python's iteration protocol, for range-for over an Object: `for (const Object& item : iterable)`.
class ObjectIterator {
public:
    ObjectIterator() = default;  // the end
    explicit ObjectIterator(const Object& iterable) : iterator_(Object::steal(PyObject_GetIter(iterable.get()))) {
        advance();
    }
    const Object& operator*() const { return item_; }
    ObjectIterator& operator++() {
        advance();
        return *this;
    }
    bool operator!=(const ObjectIterator&) const { return item_.get() != nullptr; }

private:
    void advance() {
        PyObject* next = PyIter_Next(iterator_.get());
        if (next == nullptr && PyErr_Occurred() != nullptr) throw PythonError();
        item_ = next == nullptr ? Object() : Object::steal(next);
    }
    Object iterator_;
    Object item_;
};
inline ObjectIterator begin(const Object& iterable) { return ObjectIterator(iterable); }
inline ObjectIterator end(const Object&) { return ObjectIterator(); }

}  // namespace flumina::module
