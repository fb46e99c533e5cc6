#include "binding/arguments.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "binding/errors.h"

namespace kestrova::binding {
namespace {

// Owned reference that releases on scope exit.
struct Ref {
    PyObject* p;
    explicit Ref(PyObject* o = nullptr) : p(o) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p); }
};

[[noreturn]] void type_error(const char* message) {
    throw PythonError::make(PyExc_TypeError, message);
}

std::string missing_names(const FunctionSignature& sig, PyObject** slots) {
    std::vector<std::string> names;
    for (size_t i = 0; i < sig.parameters.size(); ++i)
        if (slots[i] == nullptr) names.push_back("'" + std::string(sig.parameters[i]) + "'");
    std::string out = std::to_string(names.size()) + " required positional " +
                      (names.size() == 1 ? "argument: " : "arguments: ");
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) out += " and ";
            else if (i + 1 == names.size()) out += ", and ";
            else out += ", ";
        }
        out += names[i];
    }
    return out;
}

// Type name for the "cannot be converted" message.
std::string qualname_of(PyObject* obj) {
    Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    if (name.p != nullptr && PyUnicode_Check(name.p)) {
        Py_ssize_t size = 0;
        if (const char* text = PyUnicode_AsUTF8AndSize(name.p, &size)) return std::string(text, size_t(size));
    }
    PythonError::fetch_and_discard();
    return "<failed to extract type name>";
}

[[noreturn]] void cannot_convert(PyObject* obj, const char* target) {
    std::string message = "'" + qualname_of(obj) + "' object cannot be converted to '" + target + "'";
    type_error(message.c_str());
}

// Room reserved up front for a sequence whose __len__ is only its own claim;
// beyond it the vector grows as the items arrive.
constexpr size_t kMaxClaimedCapacity = 4096;

// Steps shared by byte vectors and rows: refuse str, require a sequence.
// Returns the capacity hint: the true size of a list or tuple, at most
// kMaxClaimedCapacity for anything else (its __len__ may lie).
size_t check_sequence(PyObject* obj) {
    if (!PyList_CheckExact(obj) && !PyTuple_CheckExact(obj) && !PyBytes_CheckExact(obj) &&
        !PyByteArray_CheckExact(obj)) {
        int is_str = PyObject_IsInstance(obj, reinterpret_cast<PyObject*>(&PyUnicode_Type));
        if (is_str < 0) PythonError::fetch_and_discard();
        if (is_str > 0) throw PythonError::make(PyExc_ValueError, "Can't extract `str` to `Vec`");
        if (!PySequence_Check(obj)) cannot_convert(obj, "Sequence");
    }
    Py_ssize_t size = PySequence_Size(obj);
    if (size < 0) {
        PythonError::fetch_and_discard();
        return 0;
    }
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) return size_t(size);
    return std::min(size_t(size), kMaxClaimedCapacity);
}

// Calls f(item) for each item (borrowed for the call). Exact lists and tuples are
// walked by index exactly as their iterators would walk them, from index
// `first`; everything else goes through the iterator protocol (first must be 0).
// The item accessors are the stable ABI's functions, not the macros.
template <typename F>
void for_each_item_from(PyObject* obj, size_t first, F&& f) {
    if (PyList_CheckExact(obj)) {
        // Re-read the size each step: an item's __index__ may change the list.
        for (Py_ssize_t i = Py_ssize_t(first); i < PyList_Size(obj); ++i) {
            PyObject* borrowed = PyList_GetItem(obj, i);
            Py_INCREF(borrowed);
            Ref item(borrowed);
            f(item.p);
        }
        return;
    }
    if (PyTuple_CheckExact(obj)) {
        for (Py_ssize_t i = Py_ssize_t(first); i < PyTuple_Size(obj); ++i) f(PyTuple_GetItem(obj, i));
        return;
    }
    Ref iter(PyObject_GetIter(obj));
    if (iter.p == nullptr) throw PythonError::fetch();
    for (;;) {
        Ref item(PyIter_Next(iter.p));
        if (item.p == nullptr) {
            if (PyErr_Occurred()) throw PythonError::fetch();
            return;
        }
        f(item.p);
    }
}

template <typename F>
void for_each_item(PyObject* obj, F&& f) {
    for_each_item_from(obj, 0, std::forward<F>(f));
}

// The int objects 0..255 as PyLong_FromLong returns them (CPython keeps one of
// each): a list of bytes holds these, so a pointer comparison reads a byte
// without a call, and results are made without one.
class SmallInts {
public:
    SmallInts() {
        for (int v = 0; v < 256; ++v) {
            objects_[v] = PyLong_FromLong(v);
            if (objects_[v] == nullptr) api_call_failed();
        }
        const auto base = reinterpret_cast<uintptr_t>(objects_[0]);
        const uintptr_t stride = reinterpret_cast<uintptr_t>(objects_[1]) - base;
        // CPython keeps them in one array: a power-of-two stride turns the
        // lookup into a shift. Anything else leaves every byte on the slow path.
        if (stride != 0 && (stride & (stride - 1)) == 0) shift_ = __builtin_ctzll(stride);
    }
    // The byte an object stands for, or -1 when it is not one of the 256.
    int find(PyObject* item) const {
        if (shift_ < 0) return -1;
        const uintptr_t offset = reinterpret_cast<uintptr_t>(item) - reinterpret_cast<uintptr_t>(objects_[0]);
        const uintptr_t v = offset >> shift_;
        return v <= 255 && objects_[v] == item ? int(v) : -1;
    }
    PyObject* get(uint8_t v) const {
        Py_INCREF(objects_[v]);
        return objects_[v];
    }

private:
    PyObject* objects_[256];
    int shift_ = -1;
};

// Built on first use, with the GIL held; kept for the life of the process.
const SmallInts& small_ints() {
    static const SmallInts* const table = new SmallInts;
    return *table;
}

uint8_t byte_of(PyObject* item) {
    if (const int v = small_ints().find(item); v >= 0) return uint8_t(v);
    long value;
    if (PyLong_CheckExact(item)) {
        value = PyLong_AsLong(item);
    } else {
        Ref index(PyNumber_Index(item));
        if (index.p == nullptr) throw PythonError::fetch();
        value = PyLong_AsLong(index.p);
    }
    if (value == -1 && PyErr_Occurred()) throw PythonError::fetch();
    if (value < 0 || value > 255)
        throw PythonError::make(PyExc_OverflowError, "out of range integral type conversion attempted");
    return uint8_t(value);
}

std::vector<uint8_t> byte_vector(PyObject* obj) {
    if (PyBytes_CheckExact(obj)) {
        auto* data = reinterpret_cast<const uint8_t*>(PyBytes_AsString(obj));
        return std::vector<uint8_t>(data, data + PyBytes_Size(obj));
    }
    if (PyByteArray_CheckExact(obj)) {
        auto* data = reinterpret_cast<const uint8_t*>(PyByteArray_AsString(obj));
        return std::vector<uint8_t>(data, data + PyByteArray_Size(obj));
    }
    std::vector<uint8_t> out;
    out.reserve(check_sequence(obj));
    size_t i = 0;
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        // The cached ints run no Python code, so the list cannot change under them.
        const SmallInts& ints = small_ints();
        const bool list = PyList_CheckExact(obj);
        const size_t size = size_t(list ? PyList_Size(obj) : PyTuple_Size(obj));
        for (; i < size; ++i) {
            const int v = ints.find(list ? PyList_GetItem(obj, Py_ssize_t(i)) : PyTuple_GetItem(obj, Py_ssize_t(i)));
            if (v < 0) break;
            out.push_back(uint8_t(v));
        }
        if (i == size) return out;
    }
    for_each_item_from(obj, i, [&](PyObject* item) { out.push_back(byte_of(item)); });
    return out;
}

std::string string_of(PyObject* item) {
    if (!PyUnicode_Check(item)) cannot_convert(item, "PyString");
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(item, &size);
    if (text == nullptr) throw PythonError::fetch();
    return std::string(text, size_t(size));
}

// The text of a str, with U+FFFD for each code point that UTF-8 cannot encode (lone surrogates).
std::string lossy_utf8(PyObject* text) {
    std::string out;
    const Py_ssize_t n = PyUnicode_GetLength(text);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_ReadChar(text, i);
        if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

}  // namespace

void bind_arguments(const FunctionSignature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots) {
    const size_t n = sig.parameters.size();
    const std::string full = std::string(sig.name) + "()";
    for (size_t i = 0; i < n; ++i) slots[i] = nullptr;
    if (size_t(nargs) > n) {
        std::string message = full + " takes " + std::to_string(n) + " positional arguments but " +
                              std::to_string(nargs) + (nargs == 1 ? " was" : " were") + " given";
        type_error(message.c_str());
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GetItem(kwnames, k);
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(key, &size);
        if (text == nullptr) PythonError::fetch_and_discard();  // unencodable: no parameter matches
        size_t slot = n;
        for (size_t i = 0; text != nullptr && i < n; ++i) {
            if (std::strlen(sig.parameters[i]) == size_t(size) && std::memcmp(sig.parameters[i], text, size_t(size)) == 0) {
                slot = i;
                break;
            }
        }
        if (slot == n) {
            std::string message = full + " got an unexpected keyword argument '" + lossy_utf8(key) + "'";
            type_error(message.c_str());
        }
        if (slots[slot] != nullptr) {
            std::string message = full + " got multiple values for argument '" + sig.parameters[slot] + "'";
            type_error(message.c_str());
        }
        slots[slot] = args[nargs + k];
    }
    for (size_t i = 0; i < n; ++i) {
        if (slots[i] == nullptr) {
            std::string message = full + " missing " + missing_names(sig, slots);
            type_error(message.c_str());
        }
    }
}

std::vector<uint8_t> extract_byte_vector(PyObject* obj, const char* name) {
    try {
        return byte_vector(obj);
    } catch (PythonError& error) {
        throw argument_error(name, std::move(error));
    }
}

std::vector<std::vector<std::string>> extract_string_rows(PyObject* obj, const char* name) {
    try {
        std::vector<std::vector<std::string>> rows;
        rows.reserve(check_sequence(obj));
        for_each_item(obj, [&](PyObject* row_obj) {
            std::vector<std::string> row;
            row.reserve(check_sequence(row_obj));
            for_each_item(row_obj, [&](PyObject* item) { row.push_back(string_of(item)); });
            rows.push_back(std::move(row));
        });
        return rows;
    } catch (PythonError& error) {
        throw argument_error(name, std::move(error));
    }
}

PyObject* byte_vector_to_list(const std::vector<uint8_t>& v) {
    PyObject* list = PyList_New(Py_ssize_t(v.size()));
    if (list == nullptr) api_call_failed();
    const SmallInts& ints = small_ints();
    for (size_t i = 0; i < v.size(); ++i) PyList_SetItem(list, Py_ssize_t(i), ints.get(v[i]));
    return list;
}

PyObject* bool_vector_to_list(const std::vector<bool>& v) {
    PyObject* list = PyList_New(Py_ssize_t(v.size()));
    if (list == nullptr) api_call_failed();
    for (size_t i = 0; i < v.size(); ++i) PyList_SetItem(list, Py_ssize_t(i), PyBool_FromLong(v[i]));
    return list;
}

PyObject* tuple_of(std::vector<PyObject*> items) {
    PyObject* tuple = PyTuple_New(Py_ssize_t(items.size()));
    if (tuple == nullptr) {
        for (PyObject* item : items) Py_DECREF(item);
        api_call_failed();
    }
    for (size_t i = 0; i < items.size(); ++i) PyTuple_SetItem(tuple, Py_ssize_t(i), items[i]);
    return tuple;
}

}  // namespace kestrova::binding
