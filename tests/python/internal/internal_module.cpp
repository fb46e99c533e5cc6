// _kestrova_internal: bytes-in, bytes-out access to the curve internals for the
// Python tests. Panics become RuntimeError carrying the panic message.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "backend/backend.h"
#include "curve/batch.h"
#include "curve/multiply.h"
#include "field/field.h"
#include "group/point.h"
#include "group/scalar.h"
#include "keys/keys.h"
#include "panic/panic.h"
#include "point_conversion/elligator.h"

namespace {

using namespace kestrova::field;
using namespace kestrova::group;
using namespace kestrova::curve;
using namespace kestrova::keys;
namespace pc = kestrova::point_conversion;

struct ArgError {};

// Fills buffers from positional bytes arguments, each of a required length
// (0 = any length).
std::vector<std::string> bytes_args(PyObject* args, std::initializer_list<Py_ssize_t> lengths) {
    if (!PyTuple_Check(args) || PyTuple_GET_SIZE(args) != Py_ssize_t(lengths.size())) {
        PyErr_Format(PyExc_TypeError, "expected %d bytes arguments", int(lengths.size()));
        throw ArgError{};
    }
    std::vector<std::string> out;
    Py_ssize_t i = 0;
    for (Py_ssize_t want : lengths) {
        PyObject* o = PyTuple_GET_ITEM(args, i);
        if (!PyBytes_Check(o)) {
            PyErr_Format(PyExc_TypeError, "argument %d must be bytes", int(i));
            throw ArgError{};
        }
        const Py_ssize_t n = PyBytes_GET_SIZE(o);
        if (want != 0 && n != want) {
            PyErr_Format(PyExc_ValueError, "argument %d must be %d bytes, not %d", int(i), int(want), int(n));
            throw ArgError{};
        }
        out.emplace_back(PyBytes_AS_STRING(o), size_t(n));
        ++i;
    }
    return out;
}

const uint8_t* u8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

PyObject* to_bytes(const uint8_t* p, size_t n) { return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(p), Py_ssize_t(n)); }
PyObject* to_bytes(const Fe& f) {
    uint8_t b[32];
    fe_to_bytes(b, f);
    return to_bytes(b, 32);
}
PyObject* to_bytes(const Point& p) {
    uint8_t b[32];
    compress(p, b);
    return to_bytes(b, 32);
}

template <typename F>
PyObject* guarded(F&& f) {
    try {
        return f();
    } catch (const ArgError&) {
        return nullptr;
    } catch (const kestrova::Panic& p) {
        PyErr_SetString(PyExc_RuntimeError, p.message().c_str());
        return nullptr;
    }
}

// How a function's parameter is read from one bytes argument, and the length
// that argument must have (0 = any).
template <class T>
struct Param;
template <>
struct Param<Fe> {
    static constexpr Py_ssize_t kBytes = 32;
    static Fe read(const std::string& s) { return fe_from_bytes(u8(s)); }
};
template <>
struct Param<Point> {
    static constexpr Py_ssize_t kBytes = kPointBytes;
    static Point read(const std::string& s) {
        const auto p = decompress_vartime(u8(s));
        if (!p) {
            PyErr_SetString(PyExc_ValueError, "not a point encoding");
            throw ArgError{};
        }
        return *p;
    }
};
template <>
struct Param<Scalar> {
    static constexpr Py_ssize_t kBytes = kScalarBytes;
    static Scalar read(const std::string& s) {
        Scalar r;
        std::memcpy(r.bytes, s.data(), kScalarBytes);
        return r;
    }
};
template <size_t N>
struct Param<std::array<uint8_t, N>> {
    static constexpr Py_ssize_t kBytes = N;
    static std::array<uint8_t, N> read(const std::string& s) {
        std::array<uint8_t, N> out;
        std::memcpy(out.data(), s.data(), N);
        return out;
    }
};
template <>
struct Param<std::span<const uint8_t>> {
    static constexpr Py_ssize_t kBytes = 0;
    static std::span<const uint8_t> read(const std::string& s) { return {u8(s), s.size()}; }
};

using Encoding = std::array<uint8_t, 32>;

// A result back as Python sees it.
PyObject* result(const Fe& f) { return to_bytes(f); }
PyObject* result(const Point& p) { return to_bytes(p); }
PyObject* result(const Scalar& s) { return to_bytes(s.bytes, kScalarBytes); }
PyObject* result(kestrova::ct::Choice c) { return PyBool_FromLong(long(c.bit())); }
PyObject* result(const SqrtRatio& r) {
    PyObject* root = to_bytes(r.root);
    return Py_BuildValue("(NN)", PyBool_FromLong(long(r.is_square.bit())), root);
}
PyObject* result(const KeyPair& pair) {
    PyObject* p = to_bytes(pair.first.data(), pair.first.size());
    PyObject* s = to_bytes(pair.second.data(), pair.second.size());
    return Py_BuildValue("(NN)", p, s);
}
template <class T>
PyObject* result(const std::optional<T>& r) {
    if (!r) Py_RETURN_NONE;
    if constexpr (std::is_same_v<T, Point>) {
        return to_bytes(*r);
    } else {
        return to_bytes(r->data(), r->size());
    }
}

template <class R, class... A, size_t... I>
PyObject* call(R (*f)(A...), const std::vector<std::string>& a, std::index_sequence<I...>) {
    return result(f(Param<std::decay_t<A>>::read(a[I])...));
}

// A Python function of bytes arguments: each is checked and read as f's
// parameter type says, and f's result converted back.
template <auto f>
PyObject* typed(PyObject*, PyObject* args) {
    return guarded([&] {
        return [args]<class R, class... A>(R (*g)(A...)) {
            const auto a = bytes_args(args, {Param<std::decay_t<A>>::kBytes...});
            return call(g, a, std::index_sequence_for<A...>{});
        }(f);
    });
}

// (32 bytes, truth value): the form of the functions that take a flag.
bool bytes_and_flag(PyObject* args, std::string& bytes, int& flag) {
    const char* buf;
    Py_ssize_t n;
    if (!PyArg_ParseTuple(args, "y#p", &buf, &n, &flag)) return false;
    if (n != 32) {
        PyErr_SetString(PyExc_ValueError, "need 32 bytes");
        return false;
    }
    bytes.assign(buf, size_t(n));
    return true;
}

// Conditional negation by a 0/1 int, as the row-value code uses it.
PyObject* py_fe_cneg(PyObject*, PyObject* args) {
    std::string bytes;
    int bit;
    if (!bytes_and_flag(args, bytes, bit)) return nullptr;
    return to_bytes(fe_cneg(Param<Fe>::read(bytes), kestrova::ct::Choice::from_bit(uint64_t(bit) & 1)));
}

PyObject* py_montgomery_to_edwards(PyObject*, PyObject* args) {
    std::string bytes;
    int sign;
    if (!bytes_and_flag(args, bytes, sign)) return nullptr;
    return result(pc::montgomery_to_edwards_vartime(u8(bytes), sign != 0));
}

PyObject* py_point_to_representative_with_bit(PyObject*, PyObject* args) {
    std::string bytes;
    int bit;
    if (!bytes_and_flag(args, bytes, bit)) return nullptr;
    return guarded([&] { return result(pc::point_to_representative_with_bit(Param<Point>::read(bytes), uint32_t(bit))); });
}

// Concatenated fixed-size arguments, read one by one; a short tail is dropped.
template <class T>
std::vector<T> many(const std::string& s) {
    constexpr size_t size = Param<T>::kBytes;
    std::vector<T> out;
    for (size_t i = 0; i + size <= s.size(); i += size) out.push_back(Param<T>::read(s.substr(i, size)));
    return out;
}

PyObject* compressed_all(const std::vector<Point>& pts) {
    std::vector<uint8_t> out(kPointBytes * pts.size());
    compress_all(pts, out);
    return to_bytes(out.data(), out.size());
}

// (point, scalars concatenated) -> products concatenated, one table for all.
PyObject* py_table_mul(PyObject*, PyObject* args) {
    return guarded([&] {
        const auto a = bytes_args(args, {kPointBytes, 0});
        const FixedBaseTable table(Param<Point>::read(a[0]));
        std::vector<Point> out;
        for (const Scalar& s : many<Scalar>(a[1])) out.push_back(table.mul(s));
        return compressed_all(out);
    });
}

// (points concatenated, scalars concatenated) -> products concatenated.
PyObject* py_batch_mul_each(PyObject*, PyObject* args) {
    return guarded([&] {
        const auto a = bytes_args(args, {0, 0});
        const auto pts = many<Point>(a[0]);
        const auto sc = many<Scalar>(a[1]);
        std::vector<Point> out(std::min(pts.size(), sc.size()));
        mul_each(std::span(pts).first(out.size()), std::span(sc).first(out.size()), out);
        return compressed_all(out);
    });
}

PyObject* py_batch_mul_all(PyObject*, PyObject* args) {
    return guarded([&] {
        const auto a = bytes_args(args, {0, kScalarBytes});
        const auto pts = many<Point>(a[0]);
        std::vector<Point> out(pts.size());
        mul_all(pts, Param<Scalar>::read(a[1]), out);
        return compressed_all(out);
    });
}

PyObject* py_batch_mul_base_each(PyObject*, PyObject* args) {
    return guarded([&] {
        const auto a = bytes_args(args, {0});
        const auto sc = many<Scalar>(a[0]);
        std::vector<Point> out(sc.size());
        mul_base_each(sc, out);
        return compressed_all(out);
    });
}

// The name of the backend in use (chosen on this first call if not before).
PyObject* py_backend_name(PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* { return PyUnicode_FromString(kestrova::backend::chosen().name()); });
}

// Encodings concatenated -> list of canonical re-encodings or None.
PyObject* py_batch_decompress(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        const auto a = bytes_args(args, {0});
        const size_t n = a[0].size() / kPointBytes;
        std::vector<Point> pts(n);
        std::vector<uint8_t> ok(n);
        decompress_all({u8(a[0]), kPointBytes * n}, pts, ok);
        PyObject* list = PyList_New(Py_ssize_t(n));
        if (!list) return nullptr;
        for (size_t i = 0; i < n; ++i) {
            PyObject* item;
            if (ok[i]) {
                item = to_bytes(pts[i]);
            } else {
                item = Py_None;
                Py_INCREF(item);
            }
            PyList_SET_ITEM(list, Py_ssize_t(i), item);
        }
        return list;
    });
}

// Typed entries take a lambda where the function is overloaded, inline only or takes a raw array.
PyMethodDef kMethods[] = {
    {"fe_add", typed<+[](const Fe& x, const Fe& y) { return fe_add(x, y); }>, METH_VARARGS, nullptr},
    {"fe_sub", typed<+[](const Fe& x, const Fe& y) { return fe_sub(x, y); }>, METH_VARARGS, nullptr},
    {"fe_mul", typed<+[](const Fe& x, const Fe& y) { return fe_mul(x, y); }>, METH_VARARGS, nullptr},
    {"fe_square", typed<+[](const Fe& x) { return fe_square(x); }>, METH_VARARGS, nullptr},
    {"fe_invert", typed<&fe_invert>, METH_VARARGS, nullptr},
    {"fe_neg", typed<+[](const Fe& x) { return fe_neg(x); }>, METH_VARARGS, nullptr},
    {"fe_abs", typed<&fe_abs>, METH_VARARGS, nullptr},
    {"fe_cneg", py_fe_cneg, METH_VARARGS, nullptr},
    {"fe_load_store", typed<+[](const Fe& x) { return x; }>, METH_VARARGS, nullptr},
    {"fe_sqrt_ratio", typed<&fe_sqrt_ratio>, METH_VARARGS, nullptr},
    {"decompress", typed<+[](const Encoding& e) { return decompress_vartime(e.data()); }>, METH_VARARGS, nullptr},
    {"point_add", typed<&add>, METH_VARARGS, nullptr},
    {"point_double", typed<&dbl>, METH_VARARGS, nullptr},
    {"point_neg", typed<&neg>, METH_VARARGS, nullptr},
    {"point_equal", typed<&equal>, METH_VARARGS, nullptr},
    {"mul", typed<+[](const Point& p, const Scalar& s) { return mul(p, s); }>, METH_VARARGS, nullptr},
    {"mul_base", typed<&mul_base>, METH_VARARGS, nullptr},
    {"table_mul", py_table_mul, METH_VARARGS, nullptr},
    {"scalar_from_wide", typed<+[](const std::array<uint8_t, 64>& w) { return scalar_from_wide(w.data()); }>,
     METH_VARARGS, nullptr},
    {"decode_public_key", typed<&decode_public_key>, METH_VARARGS, nullptr},
    {"decode_secret_scalar", typed<&decode_secret_scalar>, METH_VARARGS, nullptr},
    {"generate_key_pair", typed<&generate_key_pair>, METH_VARARGS, nullptr},
    {"batch_mul_each", py_batch_mul_each, METH_VARARGS, nullptr},
    {"batch_mul_all", py_batch_mul_all, METH_VARARGS, nullptr},
    {"batch_mul_base_each", py_batch_mul_base_each, METH_VARARGS, nullptr},
    {"batch_decompress", py_batch_decompress, METH_VARARGS, nullptr},
    {"backend_name", py_backend_name, METH_NOARGS, nullptr},
    {"elligator_map", typed<&pc::elligator_map>, METH_VARARGS, nullptr},
    {"montgomery_to_edwards", py_montgomery_to_edwards, METH_VARARGS, nullptr},
    {"representative_to_point", typed<+[](const Encoding& r) { return pc::representative_to_point(r.data()); }>,
     METH_VARARGS, nullptr},
    {"point_to_representative_with_bit", py_point_to_representative_with_bit, METH_VARARGS, nullptr},
    {"point_to_representative", typed<+[](const Point& p) { return pc::point_to_representative(p); }>, METH_VARARGS,
     nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_kestrova_internal", "Test-only access to kestrova internals.", -1,
                       kMethods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__kestrova_internal() { return PyModule_Create(&kModule); }
