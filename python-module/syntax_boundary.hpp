// What every entry of the `_syntax` module does at the boundary between the
// library and the interpreter: C++ exceptions become Python exceptions, the
// library's input errors become values, and the lock is released while only
// the library works.
#pragma once

#include <exception>
#include <new>
#include <string>

#include "dax_parser/errors.hpp"
#include "py_ref.hpp"

namespace dax::python {

// quarrow_dax.syntax.InternalError, created once by the module and kept for
// the process; until then, faults are RuntimeErrors.
inline PyObject* syntax_internal_error = nullptr;

// Turns the C++ exception being handled into the pending Python exception: a
// broken invariant of the library is an InternalError, never the input's fault.
inline void raise_current_exception() noexcept {
    PyObject* fault = syntax_internal_error ? syntax_internal_error : PyExc_RuntimeError;
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(fault, e.what());
    } catch (...) {
        PyErr_SetString(fault, "unknown C++ exception");
    }
}

// Pauses Python's cyclic garbage collector while an entry builds its result:
// the objects of a tree, a token list or a reference list form no cycles,
// and the collector's passes over a million fresh objects would make
// building them cost more than in proportion to their number. The collector
// is left as it was found.
class CollectorPause {
public:
    CollectorPause() noexcept : was_enabled_(PyGC_Disable() != 0) {}
    ~CollectorPause() {
        if (was_enabled_) PyGC_Enable();
    }
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

private:
    bool was_enabled_;
};

// ("lex" or "parse", message, start, end): an input error is a value for the
// Python wrapper to raise, with lines and columns it works out itself.
inline PyObject* error_tuple(const DaxError& error) {
    const char* kind = error.kind == DaxError::Kind::Lex ? "lex" : "parse";
    const std::string& message = error.error.message;
    return Py_BuildValue("(ss#nn)", kind, message.data(), static_cast<Py_ssize_t>(message.size()),
                         static_cast<Py_ssize_t>(error.error.span.start), static_cast<Py_ssize_t>(error.error.span.end));
}

// Runs `work` with the interpreter lock released: the library touches no
// Python object, and other threads may parse meanwhile.
template <class Work>
auto without_lock(Work&& work) {
    PyThreadState* state = PyEval_SaveThread();
    try {
        auto result = work();
        PyEval_RestoreThread(state);
        return result;
    } catch (...) {
        PyEval_RestoreThread(state);
        throw;
    }
}

}  // namespace dax::python
