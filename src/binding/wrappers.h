// What the module's wrappers and the engine's share: the cast into a method
// table, the guard around a wrapper's body and, in test builds only, the
// pool's interruption seam. Include it after <Python.h> is configured (the
// engine builds against the 3.11 stable ABI); it uses nothing outside it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

#include "worker_pool/pool.h"

// A test build is another module beside the installed one, `<name>_hooked`,
// with the pool's interruption seam (test_hooks below) added.
#ifdef KESTROVA_TEST_HOOKS
#define KESTROVA_MODULE_NAME(name) #name "_hooked"
#define KESTROVA_MODULE_INIT(name) PyInit_##name##_hooked
#else
#define KESTROVA_MODULE_NAME(name) #name
#define KESTROVA_MODULE_INIT(name) PyInit_##name
#endif

namespace kestrova::binding {

template <typename F>
PyCFunction as_cfunction(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

// Runs a wrapper body; any failure becomes a Python exception (set by
// `raise`, which returns null) and a null result.
template <PyObject* (*raise)(), typename Body>
PyObject* guarded(Body&& body) {
    try {
        return body();
    } catch (...) {
        return raise();
    }
}

// A new module filled by `fill(module)`, dropped again if that throws; once
// it is complete, `check` becomes the pool's interrupt check.
template <class Fill>
PyObject* finished_module(PyObject* module, Fill&& fill, worker_pool::InterruptCheck check) {
    try {
        fill(module);
    } catch (...) {
        Py_DECREF(module);
        throw;
    }
    worker_pool::set_interrupt_check(check);
    return module;
}

#ifdef KESTROVA_TEST_HOOKS
// The test builds of both modules (tests/python/internal) add these; the
// installed modules never have them.
namespace test_hooks {

// _signal_at_piece(k, signum): the k-th piece of pool work from now raises
// signum and waits for the caller's next interrupt check; k < 0 disarms.
inline PyObject* signal_at_piece(PyObject*, PyObject* args) {
    Py_ssize_t k;
    int signum;
    if (!PyArg_ParseTuple(args, "ni", &k, &signum)) return nullptr;
    worker_pool::detail::signal_at_piece_for_testing(k < 0 ? SIZE_MAX : std::size_t(k), signum);
    Py_RETURN_NONE;
}

// _items_left(): items the last interrupted loop left unrun.
inline PyObject* items_left(PyObject*, PyObject*) {
    return PyLong_FromSize_t(worker_pool::detail::items_left_by_last_interrupt_for_testing());
}

inline PyMethodDef functions[] = {
    {"_signal_at_piece", signal_at_piece, METH_VARARGS, nullptr},
    {"_items_left", items_left, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace test_hooks
#endif

}  // namespace kestrova::binding
