// Python exceptions on the binding side: a pending Python error carried as a C++
// exception, the PanicException class, the argument-name wrapping and the guard
// that turns every failure of a wrapper's body into a Python exception.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <utility>

#include "binding/wrappers.h"

namespace kestrova::binding {

// An exception taken off the interpreter (type, value, traceback, owned).
class PythonError {
public:
    PythonError(PyObject* type, PyObject* value, PyObject* traceback)
        : type_(type), value_(value), traceback_(traceback) {}
    PythonError(PythonError&& other) noexcept;
    PythonError(const PythonError&) = delete;
    PythonError& operator=(const PythonError&) = delete;
    ~PythonError();

    // Takes the pending exception off the interpreter. None pending gives
    // SystemError; a PanicException coming back from Python resumes as a panic.
    static PythonError fetch();
    // fetch() for an error that the caller is about to discard.
    static void fetch_and_discard();

    static PythonError make(PyObject* type, const char* message);

    PyObject* type() const { return type_; }
    void normalize();
    PyObject* value() const { return value_; }
    // Hands the exception back to the interpreter (ownership moves with it).
    void restore();

private:
    PyObject* type_;
    PyObject* value_;
    PyObject* traceback_;
};

// The conversion failure of parameter `name`, as the caller must see it.
PythonError argument_error(const char* name, PythonError error);

// The process-wide PanicException class (created on first need).
PyObject* panic_exception_type();

// For a Python API call that had to return a new object and returned null.
[[noreturn]] void api_call_failed();

// Sets the Python exception for the C++ exception being handled; returns null.
PyObject* raise_from_current_exception();

// Runs a wrapper body; any failure becomes a Python exception and a null result.
template <typename Body>
PyObject* guard(Body&& body) {
    return guarded<raise_from_current_exception>(std::forward<Body>(body));
}

}  // namespace kestrova::binding
