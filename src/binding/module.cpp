// The module entry point, the function table and the seven thin wrappers:
// bind and convert the arguments, call the operation, convert the result.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <utility>
#include <vector>

#include "binding/arguments.h"
#include "binding/errors.h"
#include "ct/wipe.h"
#include "operations/operations.h"
#include "panic/panic.h"

namespace kestrova::binding {
namespace {

namespace ops = kestrova::operations;

// The keyword names are the module's published ones, which callers pass by name;
// the central party's are "swift_pk" and "swift_secret_key" there and central_*
// everywhere inside the C++.
const FunctionSignature kKeyGen{"key_gen", {}};
const FunctionSignature kBuildOkvs{"build_okvs", {"public_key", "strings_in_each_row"}};
const FunctionSignature kInitiateQueries{
    "initiate_queries", {"sender_data", "receiver_data", "sender_okvs", "receiver_okvs", "swift_pk"}};
const FunctionSignature kRandomize{"randomize", {"ciphertexts"}};
const FunctionSignature kCombine{"combine", {"sender_ciphertexts", "receiver_ciphertexts"}};
const FunctionSignature kDecrypt{"decrypt", {"points", "bank_secret_key"}};
const FunctionSignature kFinish{
    "finish", {"sender_points", "receiver_points", "gamma_points", "delta_points", "swift_secret_key"}};

template <size_t N>
struct Bound {
    PyObject* slot[N > 0 ? N : 1];
};

template <size_t N>
Bound<N> bind(const FunctionSignature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Bound<N> b{};
    bind_arguments(sig, args, nargs, kwnames, b.slot);
    return b;
}

// For the functions whose parameters all take bytes: each converted in order.
// A secret key is always the last, so no failure here leaves one unwiped.
template <size_t N>
std::array<std::vector<uint8_t>, N> byte_arguments(const FunctionSignature& sig, PyObject* const* args,
                                                   Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind<N>(sig, args, nargs, kwnames);
    std::array<std::vector<uint8_t>, N> values;
    for (size_t i = 0; i < N; ++i) values[i] = extract_byte_vector(b.slot[i], sig.parameters[i]);
    return values;
}

PyObject* key_gen(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        bind<0>(kKeyGen, args, nargs, kwnames);
        auto [public_key, secret_key] = ops::key_gen();
        const ct::WipeOnExit wipe_secret(secret_key.data(), secret_key.size());
        return tuple_of({byte_vector_to_list(public_key), byte_vector_to_list(secret_key)});
    });
}

PyObject* build_okvs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        auto a = bind<2>(kBuildOkvs, args, nargs, kwnames);
        auto public_key = extract_byte_vector(a.slot[0], "public_key");
        auto rows = extract_string_rows(a.slot[1], "strings_in_each_row");
        return byte_vector_to_list(ops::build_okvs(public_key, std::move(rows)));
    });
}

PyObject* initiate_queries(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        auto a = bind<5>(kInitiateQueries, args, nargs, kwnames);
        auto sender_data = extract_string_rows(a.slot[0], "sender_data");
        auto receiver_data = extract_string_rows(a.slot[1], "receiver_data");
        auto sender_okvs = extract_byte_vector(a.slot[2], "sender_okvs");
        auto receiver_okvs = extract_byte_vector(a.slot[3], "receiver_okvs");
        auto central_pk = extract_byte_vector(a.slot[4], "swift_pk");
        return byte_vector_to_list(
            ops::initiate_queries(sender_data, receiver_data, std::move(sender_okvs), std::move(receiver_okvs), central_pk));
    });
}

PyObject* randomize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        auto [ciphertexts] = byte_arguments<1>(kRandomize, args, nargs, kwnames);
        return byte_vector_to_list(ops::randomize(ciphertexts));
    });
}

PyObject* combine(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        auto [sender, receiver] = byte_arguments<2>(kCombine, args, nargs, kwnames);
        auto parts = ops::combine(sender, receiver);
        std::vector<PyObject*> lists;
        try {
            for (const auto& part : parts) lists.push_back(byte_vector_to_list(part));
        } catch (...) {
            for (PyObject* list : lists) Py_DECREF(list);
            throw;
        }
        return tuple_of(std::move(lists));
    });
}

PyObject* decrypt(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        auto [points, key] = byte_arguments<2>(kDecrypt, args, nargs, kwnames);
        const ct::WipeOnExit wipe_key(key.data(), key.size());
        return byte_vector_to_list(ops::decrypt(points, key));
    });
}

PyObject* finish(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        auto [sender, receiver, gamma, delta, key] = byte_arguments<5>(kFinish, args, nargs, kwnames);
        const ct::WipeOnExit wipe_key(key.data(), key.size());
        return bool_vector_to_list(ops::finish(sender, receiver, gamma, delta, key));
    });
}

PyMethodDef function_table[] = {
    {"key_gen", as_cfunction(key_gen), METH_FASTCALL | METH_KEYWORDS,
     "Generates a key pair for this party, returning a tuple with (public_key: bytes, secret_key: bytes)."},
    {"build_okvs", as_cfunction(build_okvs), METH_FASTCALL | METH_KEYWORDS,
     "Builds an OKVS for one party. Takes the public key of this party and the data from the database, "
     "which is a list of rows. Each row is a list of the relevant columns as a String."},
    {"initiate_queries", as_cfunction(initiate_queries), METH_FASTCALL | METH_KEYWORDS, ""},
    {"randomize", as_cfunction(randomize), METH_FASTCALL | METH_KEYWORDS, ""},
    {"combine", as_cfunction(combine), METH_FASTCALL | METH_KEYWORDS, ""},
    {"decrypt", as_cfunction(decrypt), METH_FASTCALL | METH_KEYWORDS, ""},
    {"finish", as_cfunction(finish), METH_FASTCALL | METH_KEYWORDS, ""},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    KESTROVA_MODULE_NAME(kestrova),
    "A Python module for the cryptographic operations necessary to do feature extraction "
    "(element matching in two datasets).",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<bool> initialised{false};

// Long calls keep the interpreter lock; this lets Python's signal handlers
// run during them, and a handler's exception (KeyboardInterrupt from Ctrl-C)
// ends the call with nothing returned.
void run_signal_handlers() {
    if (PyErr_CheckSignals() != 0) throw PythonError::fetch();
}

// Attaches one function and lists it in __all__.
void add_function(PyObject* module, PyMethodDef* def) {
    const char* module_name = PyModule_GetName(module);
    if (module_name == nullptr) throw PythonError::fetch();
    PyObject* name_str = PyUnicode_FromString(module_name);
    if (name_str == nullptr) throw PythonError::fetch();
    PyObject* function = PyCMethod_New(def, module, name_str, nullptr);
    Py_DECREF(name_str);
    if (function == nullptr) throw PythonError::fetch();
    struct Drop {
        PyObject* p;
        ~Drop() { Py_XDECREF(p); }
    } hold{function};
    PyObject* fname = PyObject_GetAttrString(function, "__name__");
    if (fname == nullptr) throw PythonError::fetch();
    Drop hold_name{fname};
    if (!PyUnicode_Check(fname)) throw PythonError::make(PyExc_TypeError, "__name__ must be a str");
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError::fetch();
        PyErr_Clear();
        all = PyList_New(0);
        if (all == nullptr) throw PythonError::fetch();
        if (PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_DECREF(all);
            throw PythonError::fetch();
        }
    }
    Drop hold_all{all};
    if (!PyList_Check(all)) throw PythonError::make(PyExc_TypeError, "__all__ must be a list");
    if (PyList_Append(all, fname) < 0) {
        PyErr_Clear();
        panic("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module, fname, function) < 0) throw PythonError::fetch();
}

PyObject* create_module() {
    PyObject* module = PyModule_Create(&module_definition);
    if (module == nullptr) throw PythonError::fetch();
    if (initialised.exchange(true)) {
        Py_DECREF(module);
        throw PythonError::make(PyExc_ImportError,
                                "kestrova may only be initialized once per interpreter process");
    }
    const auto add_functions = [](PyObject* m) {
        for (PyMethodDef& def : function_table) add_function(m, &def);
#ifdef KESTROVA_TEST_HOOKS
        for (PyMethodDef& def : test_hooks::functions)
            if (def.ml_name != nullptr) add_function(m, &def);
#endif
    };
    return finished_module(module, add_functions, run_signal_handlers);
}

}  // namespace
}  // namespace kestrova::binding

extern "C" __attribute__((visibility("default"))) PyObject* KESTROVA_MODULE_INIT(kestrova)() {
    return kestrova::binding::guard([] { return kestrova::binding::create_module(); });
}
