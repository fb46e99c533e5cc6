#include "binding/errors.h"

#include <cstdio>
#include <new>

#include "panic/panic.h"

namespace kestrova::binding {
namespace {

PyObject* panic_type = nullptr;

const char kPanicDoc[] =
    "Raised when native code called from Python panics.\n\n"
    "Like SystemExit, this exception derives from BaseException, so it typically "
    "propagates all the way through the stack and makes the interpreter exit.";

const char kNonTextPanic[] = "a panic with a non-text payload came from native code";

// A panic that resumes one raised in Python: its report was Python's own.
class ResumedPanic : public std::exception {
public:
    explicit ResumedPanic(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

void raise_panic_exception(const char* message) {
    PyObject* type;
    try {
        type = panic_exception_type();
    } catch (const Panic& p) {
        PyErr_SetString(PyExc_SystemError, p.message().c_str());
        return;
    }
    PyObject* text = PyUnicode_FromString(message);
    if (text == nullptr) return;  // the interpreter's MemoryError stays pending
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

}  // namespace

PythonError::PythonError(PythonError&& other) noexcept
    : type_(other.type_), value_(other.value_), traceback_(other.traceback_) {
    other.type_ = other.value_ = other.traceback_ = nullptr;
}

PythonError::~PythonError() {
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(traceback_);
}

PythonError PythonError::fetch() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return make(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    if (panic_type != nullptr && type == panic_type) {
        std::string message = "Unwrapped panic from Python code";
        if (value != nullptr && PyUnicode_Check(value)) {
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(value, &size);
            if (text != nullptr) message.assign(text, size_t(size));
            else PyErr_Clear();
        }
        std::fputs("--- A panic is being resumed after fetching a PanicException from Python. ---\n"
                   "Python stack trace below:\n",
                   stderr);
        PyErr_Restore(type, value, traceback);
        PyErr_PrintEx(0);
        throw ResumedPanic(std::move(message));
    }
    return PythonError(type, value, traceback);
}

void PythonError::fetch_and_discard() { (void)fetch(); }

PythonError PythonError::make(PyObject* type, const char* message) {
    PyObject* text = PyUnicode_FromString(message);
    if (text == nullptr) return fetch();
    Py_INCREF(type);
    return PythonError(type, text, nullptr);
}

void PythonError::normalize() { PyErr_NormalizeException(&type_, &value_, &traceback_); }

void PythonError::restore() {
    PyErr_Restore(type_, value_, traceback_);
    type_ = value_ = traceback_ = nullptr;
}

PythonError argument_error(const char* name, PythonError error) {
    if (error.type() != PyExc_TypeError) return error;
    error.normalize();
    PyObject* text = PyObject_Str(error.value());
    if (text == nullptr) return PythonError::fetch();
    PyObject* message = PyUnicode_FromFormat("argument '%s': %U", name, text);
    Py_DECREF(text);
    if (message == nullptr) return PythonError::fetch();
    PyObject* wrapped = PyObject_CallFunctionObjArgs(PyExc_TypeError, message, nullptr);
    Py_DECREF(message);
    if (wrapped == nullptr) return PythonError::fetch();
    PyObject* cause = PyException_GetCause(error.value());  // new reference or null
    if (cause != nullptr) PyException_SetCause(wrapped, cause);  // steals the reference
    Py_INCREF(PyExc_TypeError);
    return PythonError(PyExc_TypeError, wrapped, nullptr);
}

PyObject* panic_exception_type() {
    if (panic_type == nullptr) {
        panic_type = PyErr_NewExceptionWithDoc("kestrova_runtime.PanicException", kPanicDoc,
                                               PyExc_BaseException, nullptr);
        if (panic_type == nullptr) {
            PyErr_Print();
            panic("Failed to initialize new exception type.");
        }
    }
    return panic_type;
}

void api_call_failed() {
    if (PyErr_Occurred()) PyErr_Print();
    panic("Python API call failed");
}

PyObject* raise_from_current_exception() {
    try {
        throw;
    } catch (PythonError& error) {
        error.restore();
    } catch (const Panic& p) {
        raise_panic_exception(p.message().c_str());
    } catch (const ResumedPanic& p) {
        raise_panic_exception(p.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        // A failure of the C++ runtime itself: report it like a panic of ours.
        report_panic(e.what(), std::source_location::current());
        raise_panic_exception(e.what());
    } catch (...) {
        raise_panic_exception(kNonTextPanic);
    }
    return nullptr;
}

}  // namespace kestrova::binding
