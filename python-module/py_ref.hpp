// The one reference-counting helper of the extension modules.
#pragma once

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030B0000
#endif
#include <Python.h>

#include <utility>

namespace dax::python {

// Owns one strong reference.
class Ref {
public:
    explicit Ref(PyObject* object = nullptr) noexcept : object_(object) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    void reset(PyObject* object) noexcept { Py_XDECREF(std::exchange(object_, object)); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_;
};

}  // namespace dax::python
