// Binding of Python arguments to parameters and conversion between Python
// objects and the internal byte vectors, string rows and bool vectors.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kestrova::binding {

struct FunctionSignature {
    const char* name;
    std::vector<const char*> parameters;  // all positional-or-keyword, all required
};

// Fills slots[0 .. parameters.size()) with borrowed references or throws PythonError.
void bind_arguments(const FunctionSignature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots);

std::vector<uint8_t> extract_byte_vector(PyObject* obj, const char* name);
std::vector<std::vector<std::string>> extract_string_rows(PyObject* obj, const char* name);

// New references; a failing allocation is an internal failure.
PyObject* byte_vector_to_list(const std::vector<uint8_t>& v);
PyObject* bool_vector_to_list(const std::vector<bool>& v);
PyObject* tuple_of(std::vector<PyObject*> items);  // steals the items

}  // namespace kestrova::binding
