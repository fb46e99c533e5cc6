// _kestrova_internal: bytes-in, bytes-out access to the curve internals for the
// Python tests. Panics become RuntimeError carrying the panic message.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <string>
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

Point point_arg(const std::string& s) {
    const auto p = decompress_vartime(u8(s));
    if (!p) {
        PyErr_SetString(PyExc_ValueError, "not a point encoding");
        throw ArgError{};
    }
    return *p;
}

Scalar scalar_arg(const std::string& s) {
    Scalar r;
    std::memcpy(r.bytes, s.data(), 32);
    return r;
}

Fe fe_arg(const std::string& s) { return fe_from_bytes(u8(s)); }

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

#define BINARY_FE(name, expr)                                       \
    PyObject* name(PyObject*, PyObject* args) {                     \
        return guarded([&] {                                        \
            const auto a = bytes_args(args, {32, 32});              \
            const Fe x = fe_arg(a[0]), y = fe_arg(a[1]);            \
            return to_bytes(expr);                                  \
        });                                                         \
    }
#define UNARY_FE(name, expr)                                        \
    PyObject* name(PyObject*, PyObject* args) {                     \
        return guarded([&] {                                        \
            const auto a = bytes_args(args, {32});                  \
            const Fe x = fe_arg(a[0]);                              \
            return to_bytes(expr);                                  \
        });                                                         \
    }

BINARY_FE(py_fe_add, fe_add(x, y))
BINARY_FE(py_fe_sub, fe_sub(x, y))
BINARY_FE(py_fe_mul, fe_mul(x, y))
UNARY_FE(py_fe_square, fe_square(x))
UNARY_FE(py_fe_invert, fe_invert(x))
UNARY_FE(py_fe_neg, fe_neg(x))
UNARY_FE(py_fe_load_store, x)
UNARY_FE(py_fe_abs, fe_abs(x))

PyObject* py_fe_sqrt_ratio(PyObject*, PyObject* args) {
    return guarded([&] {
        const auto a = bytes_args(args, {32, 32});
        const SqrtRatio r = fe_sqrt_ratio(fe_arg(a[0]), fe_arg(a[1]));
        PyObject* root = to_bytes(r.root);
        return Py_BuildValue("(NN)", PyBool_FromLong(long(r.is_square.bit())), root);
    });
}

// Conditional negation by a 0/1 int, as the row-value code uses it.
PyObject* py_fe_cneg(PyObject*, PyObject* args) {
    const char* buf;
    Py_ssize_t n;
    int bit;
    if (!PyArg_ParseTuple(args, "y#p", &buf, &n, &bit)) return nullptr;
    if (n != 32) {
        PyErr_SetString(PyExc_ValueError, "need 32 bytes");
        return nullptr;
    }
    return to_bytes(fe_cneg(fe_from_bytes(reinterpret_cast<const uint8_t*>(buf)), kestrova::ct::Choice::from_bit(uint64_t(bit) & 1)));
}

PyObject* py_decompress(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        const auto a = bytes_args(args, {32});
        const auto p = decompress_vartime(u8(a[0]));
        if (!p) Py_RETURN_NONE;
        return to_bytes(*p);
    });
}

PyObject* py_point_add(PyObject*, PyObject* args) {
    return guarded([&] {
        const auto a = bytes_args(args, {32, 32});
        return to_bytes(add(point_arg(a[0]), point_arg(a[1])));
    });
}

PyObject* py_point_double(PyObject*, PyObject* args) {
    return guarded([&] {
        const auto a = bytes_args(args, {32});
        return to_bytes(dbl(point_arg(a[0])));
    });
}

PyObject* py_point_neg(PyObject*, PyObject* args) {
    return guarded([&] {
        const auto a = bytes_args(args, {32});
        return to_bytes(neg(point_arg(a[0])));
    });
}

PyObject* py_point_equal(PyObject*, PyObject* args) {
    return guarded([&] {
        const auto a = bytes_args(args, {32, 32});
        return PyBool_FromLong(equal(point_arg(a[0]), point_arg(a[1])).bit() ? 1 : 0);
    });
}

PyObject* py_mul(PyObject*, PyObject* args) {
    return guarded([&] {
        const auto a = bytes_args(args, {32, 32});
        return to_bytes(mul(point_arg(a[0]), scalar_arg(a[1])));
    });
}

PyObject* py_mul_base(PyObject*, PyObject* args) {
    return guarded([&] {
        const auto a = bytes_args(args, {32});
        return to_bytes(mul_base(scalar_arg(a[0])));
    });
}

// (point, scalars concatenated) -> products concatenated, one table for all.
PyObject* py_table_mul(PyObject*, PyObject* args) {
    return guarded([&] {
        const auto a = bytes_args(args, {32, 0});
        const FixedBaseTable table(point_arg(a[0]));
        std::string out;
        for (size_t i = 0; i + 32 <= a[1].size(); i += 32) {
            uint8_t b[32];
            compress(table.mul(scalar_arg(a[1].substr(i, 32))), b);
            out.append(reinterpret_cast<const char*>(b), 32);
        }
        return to_bytes(u8(out), out.size());
    });
}

PyObject* py_scalar_from_wide(PyObject*, PyObject* args) {
    return guarded([&] {
        const auto a = bytes_args(args, {64});
        const Scalar s = scalar_from_wide(u8(a[0]));
        return to_bytes(s.bytes, 32);
    });
}

std::vector<uint8_t> vec_arg(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

PyObject* py_decode_public_key(PyObject*, PyObject* args) {
    return guarded([&] {
        const auto a = bytes_args(args, {0});
        return to_bytes(decode_public_key(vec_arg(a[0])));
    });
}

PyObject* py_decode_secret_scalar(PyObject*, PyObject* args) {
    return guarded([&] {
        const auto a = bytes_args(args, {0});
        const Scalar s = decode_secret_scalar(vec_arg(a[0]));
        return to_bytes(s.bytes, 32);
    });
}

PyObject* py_generate_key_pair(PyObject*, PyObject* args) {
    return guarded([&] {
        bytes_args(args, {});
        const auto [pub, sec] = generate_key_pair();
        PyObject* p = to_bytes(pub.data(), 32);
        PyObject* s = to_bytes(sec.data(), 32);
        return Py_BuildValue("(NN)", p, s);
    });
}

std::vector<Point> points_arg(const std::string& s) {
    std::vector<Point> pts;
    for (size_t i = 0; i + 32 <= s.size(); i += 32) pts.push_back(point_arg(s.substr(i, 32)));
    return pts;
}

std::vector<Scalar> scalars_arg(const std::string& s) {
    std::vector<Scalar> out;
    for (size_t i = 0; i + 32 <= s.size(); i += 32) out.push_back(scalar_arg(s.substr(i, 32)));
    return out;
}

PyObject* compressed_all(const std::vector<Point>& pts) {
    std::vector<uint8_t> out(32 * pts.size());
    compress_all(pts, out);
    return to_bytes(out.data(), out.size());
}

// (points concatenated, scalars concatenated) -> products concatenated.
PyObject* py_batch_mul_each(PyObject*, PyObject* args) {
    return guarded([&] {
        const auto a = bytes_args(args, {0, 0});
        const auto pts = points_arg(a[0]);
        const auto sc = scalars_arg(a[1]);
        std::vector<Point> out(std::min(pts.size(), sc.size()));
        mul_each(std::span(pts).first(out.size()), std::span(sc).first(out.size()), out);
        return compressed_all(out);
    });
}

PyObject* py_batch_mul_all(PyObject*, PyObject* args) {
    return guarded([&] {
        const auto a = bytes_args(args, {0, 32});
        const auto pts = points_arg(a[0]);
        std::vector<Point> out(pts.size());
        mul_all(pts, scalar_arg(a[1]), out);
        return compressed_all(out);
    });
}

PyObject* py_batch_mul_base_each(PyObject*, PyObject* args) {
    return guarded([&] {
        const auto a = bytes_args(args, {0});
        const auto sc = scalars_arg(a[0]);
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
        const size_t n = a[0].size() / 32;
        std::vector<Point> pts(n);
        std::vector<uint8_t> ok(n);
        decompress_all({u8(a[0]), 32 * n}, pts, ok);
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

PyObject* py_elligator_map(PyObject*, PyObject* args) {
    return guarded([&] {
        const auto a = bytes_args(args, {32});
        return to_bytes(pc::elligator_map(fe_arg(a[0])));
    });
}

PyObject* py_montgomery_to_edwards(PyObject*, PyObject* args) {
    const char* buf;
    Py_ssize_t n;
    int sign;
    if (!PyArg_ParseTuple(args, "y#p", &buf, &n, &sign)) return nullptr;
    if (n != 32) {
        PyErr_SetString(PyExc_ValueError, "need 32 bytes");
        return nullptr;
    }
    const auto p = pc::montgomery_to_edwards_vartime(reinterpret_cast<const uint8_t*>(buf), sign != 0);
    if (!p) Py_RETURN_NONE;
    return to_bytes(*p);
}

PyObject* py_representative_to_point(PyObject*, PyObject* args) {
    return guarded([&] {
        const auto a = bytes_args(args, {32});
        return to_bytes(pc::representative_to_point(u8(a[0])));
    });
}

PyObject* rep_or_none(const std::optional<pc::Representative>& r) {
    if (!r) Py_RETURN_NONE;
    return to_bytes(r->data(), 32);
}

PyObject* py_point_to_representative_with_bit(PyObject*, PyObject* args) {
    const char* buf;
    Py_ssize_t n;
    int bit;
    if (!PyArg_ParseTuple(args, "y#p", &buf, &n, &bit)) return nullptr;
    if (n != 32) {
        PyErr_SetString(PyExc_ValueError, "need 32 bytes");
        return nullptr;
    }
    return guarded([&] {
        const Point p = point_arg(std::string(buf, 32));
        return rep_or_none(pc::point_to_representative_with_bit(p, uint32_t(bit)));
    });
}

PyObject* py_point_to_representative(PyObject*, PyObject* args) {
    return guarded([&] {
        const auto a = bytes_args(args, {32});
        return rep_or_none(pc::point_to_representative(point_arg(a[0])));
    });
}

PyMethodDef kMethods[] = {
    {"fe_add", py_fe_add, METH_VARARGS, nullptr},
    {"fe_sub", py_fe_sub, METH_VARARGS, nullptr},
    {"fe_mul", py_fe_mul, METH_VARARGS, nullptr},
    {"fe_square", py_fe_square, METH_VARARGS, nullptr},
    {"fe_invert", py_fe_invert, METH_VARARGS, nullptr},
    {"fe_neg", py_fe_neg, METH_VARARGS, nullptr},
    {"fe_abs", py_fe_abs, METH_VARARGS, nullptr},
    {"fe_cneg", py_fe_cneg, METH_VARARGS, nullptr},
    {"fe_load_store", py_fe_load_store, METH_VARARGS, nullptr},
    {"fe_sqrt_ratio", py_fe_sqrt_ratio, METH_VARARGS, nullptr},
    {"decompress", py_decompress, METH_VARARGS, nullptr},
    {"point_add", py_point_add, METH_VARARGS, nullptr},
    {"point_double", py_point_double, METH_VARARGS, nullptr},
    {"point_neg", py_point_neg, METH_VARARGS, nullptr},
    {"point_equal", py_point_equal, METH_VARARGS, nullptr},
    {"mul", py_mul, METH_VARARGS, nullptr},
    {"mul_base", py_mul_base, METH_VARARGS, nullptr},
    {"table_mul", py_table_mul, METH_VARARGS, nullptr},
    {"scalar_from_wide", py_scalar_from_wide, METH_VARARGS, nullptr},
    {"decode_public_key", py_decode_public_key, METH_VARARGS, nullptr},
    {"decode_secret_scalar", py_decode_secret_scalar, METH_VARARGS, nullptr},
    {"generate_key_pair", py_generate_key_pair, METH_VARARGS, nullptr},
    {"batch_mul_each", py_batch_mul_each, METH_VARARGS, nullptr},
    {"batch_mul_all", py_batch_mul_all, METH_VARARGS, nullptr},
    {"batch_mul_base_each", py_batch_mul_base_each, METH_VARARGS, nullptr},
    {"batch_decompress", py_batch_decompress, METH_VARARGS, nullptr},
    {"backend_name", py_backend_name, METH_NOARGS, nullptr},
    {"elligator_map", py_elligator_map, METH_VARARGS, nullptr},
    {"montgomery_to_edwards", py_montgomery_to_edwards, METH_VARARGS, nullptr},
    {"representative_to_point", py_representative_to_point, METH_VARARGS, nullptr},
    {"point_to_representative_with_bit", py_point_to_representative_with_bit, METH_VARARGS, nullptr},
    {"point_to_representative", py_point_to_representative, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_kestrova_internal", "Test-only access to kestrova internals.", -1,
                       kMethods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__kestrova_internal() { return PyModule_Create(&kModule); }
