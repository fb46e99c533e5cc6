#include "engine_binding/glue.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <system_error>

#include "engine/key_column.h"
#include "engine/store_builder.h"
#include "panic/panic.h"

namespace kestrova::engine_binding {

Buffer::Buffer(PyObject* object, const char* name, bool writable, bool with_format) {
    // A typed array (a cast memoryview, numpy) exports its format only with its shape.
    const int flags = (writable ? PyBUF_WRITABLE : PyBUF_SIMPLE) | (with_format ? PyBUF_C_CONTIGUOUS | PyBUF_FORMAT : 0);
    if (PyObject_GetBuffer(object, &view_, flags) != 0) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s must be a %scontiguous buffer (bytes, bytearray, memoryview, mmap)", name,
                     writable ? "writable " : "");
        throw PythonErrorSet{};
    }
    held_ = true;
}

Buffer::~Buffer() {
    if (held_) PyBuffer_Release(&view_);
}

Buffer::Buffer(Buffer&& other) noexcept : view_(other.view_), held_(other.held_) { other.held_ = false; }

Buffer& Buffer::operator=(Buffer&& other) noexcept {
    if (this != &other) {
        if (held_) PyBuffer_Release(&view_);
        view_ = other.view_;
        held_ = other.held_;
        other.held_ = false;
    }
    return *this;
}

void bind(const char* function, std::initializer_list<const char*> names, size_t required, PyObject* const* args,
          Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
    const size_t count = names.size();
    for (size_t i = 0; i < count; ++i) slots[i] = nullptr;
    if (size_t(nargs) > count) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zu arguments (%zd given)", function, count, nargs);
        throw PythonErrorSet{};
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* kw = PyTuple_GetItem(kwnames, k);
        size_t i = 0;
        for (const char* name : names) {
            if (PyUnicode_CompareWithASCIIString(kw, name) == 0) break;
            ++i;
        }
        if (i == count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, kw);
            throw PythonErrorSet{};
        }
        if (slots[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", function, kw);
            throw PythonErrorSet{};
        }
        slots[i] = args[nargs + k];
    }
    size_t i = 0;
    for (const char* name : names) {
        if (i < required && slots[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", function, name);
            throw PythonErrorSet{};
        }
        if (slots[i] == Py_None && i >= required) slots[i] = nullptr;
        ++i;
    }
}

PyThreadState*& released_state() {
    thread_local PyThreadState* saved = nullptr;
    return saved;
}

Unlocked::Unlocked() { released_state() = PyEval_SaveThread(); }

Unlocked::~Unlocked() {
    PyThreadState*& saved = released_state();
    PyEval_RestoreThread(saved);
    saved = nullptr;
}

void interrupt_check() {
    // A handler's exception (KeyboardInterrupt) stays set until the call returns.
    if (with_lock([] { return PyErr_CheckSignals(); }) != 0) throw PythonErrorSet{};
}

PyObject*& engine_error() {
    static PyObject* type = nullptr;
    return type;
}

PyObject* raise_from_current_exception() {
    try {
        throw;
    } catch (const PythonErrorSet&) {
    } catch (const engine::BadInput& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const engine::NeedsMemory& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::system_error& e) {
        errno = e.code().value();
        PyErr_SetFromErrno(PyExc_OSError);
    } catch (const std::exception& e) {
        // Panics of the arithmetic and the store code: their report is off, the message is the error.
        PyErr_SetString(engine_error(), e.what());
    } catch (...) {
        PyErr_SetString(engine_error(), "a failure without a message came from native code");
    }
    return nullptr;
}

PyObject* new_bytes(size_t size, uint8_t** data) {
    PyObject* out = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(size));
    if (out == nullptr) throw PythonErrorSet{};
    *data = reinterpret_cast<uint8_t*>(PyBytes_AsString(out));
    return out;
}

}  // namespace kestrova::engine_binding
