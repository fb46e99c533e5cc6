// The engine's side of the CPython stable ABI: buffers held for a call,
// arguments bound by name, the interpreter lock let go while the pool works,
// and C++ failures turned into Python exceptions.
#pragma once

// The buffer protocol joined the stable ABI in 3.11, the floor of the wheel too.
#undef Py_LIMITED_API
#define Py_LIMITED_API 0x030B0000
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <span>
#include <utility>

#include "binding/wrappers.h"

namespace kestrova::engine_binding {

// A Python exception is set already; the wrapper only returns null.
struct PythonErrorSet {};

// The view of one argument's buffer, released with the interpreter lock held.
class Buffer {
public:
    Buffer() = default;
    Buffer(PyObject* object, const char* name, bool writable = false, bool with_format = false);
    ~Buffer();
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&& other) noexcept;
    Buffer& operator=(Buffer&& other) noexcept;

    std::span<const uint8_t> bytes() const { return {static_cast<const uint8_t*>(view_.buf), size_t(view_.len)}; }
    std::span<uint8_t> writable() const { return {static_cast<uint8_t*>(view_.buf), size_t(view_.len)}; }
    size_t itemsize() const { return size_t(view_.itemsize); }
    // The struct-module format; "B" when the exporter gives none.
    const char* format() const { return view_.format != nullptr ? view_.format : "B"; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// Fills slots[i] with the argument for names[i] (borrowed; null when an
// optional one is absent). The first `required` names must be given.
void bind(const char* function, std::initializer_list<const char*> names, size_t required, PyObject* const* args,
          Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

// Lets go of the interpreter lock for its scope; the pool's interrupt check
// takes it back briefly to run signal handlers.
class Unlocked {
public:
    Unlocked();
    ~Unlocked();
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;
};

// Installed as the pool's interrupt check: signal handlers run under the lock.
void interrupt_check();
PyThreadState*& released_state();

// Runs f with the lock held, from inside or outside an Unlocked scope.
template <class F>
auto with_lock(F&& f) {
    PyThreadState*& saved = released_state();
    if (saved == nullptr) return f();
    PyEval_RestoreThread(saved);
    saved = nullptr;
    struct Release {
        PyThreadState*& saved;
        ~Release() { saved = PyEval_SaveThread(); }
    } release{released_state()};
    return f();
}

// The module's exception for a failure inside the engine (created at import).
PyObject*& engine_error();

// Sets the Python exception for the C++ exception being handled; returns null.
PyObject* raise_from_current_exception();

template <class Body>
PyObject* guard(Body&& body) {
    return binding::guarded<raise_from_current_exception>(std::forward<Body>(body));
}

// A new bytes object of `size` bytes whose contents the caller fills.
PyObject* new_bytes(size_t size, uint8_t** data);

}  // namespace kestrova::engine_binding
