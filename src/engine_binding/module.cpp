// kestrova_protocol._engine: the parties' tools on buffers. Each wrapper binds
// and checks its arguments, lets go of the interpreter lock, calls one C++
// function, and returns bytes (or fills the buffer it was given).
#include "engine_binding/glue.h"

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "backend/backend.h"
#include "ct/wipe.h"
#include "engine/flag_lines.h"
#include "engine/iban_check.h"
#include "engine/key_column.h"
#include "engine/row_hashes.h"
#include "engine/store_builder.h"
#include "engine/transliterate.h"
#include "engine/word_phrases.h"
#include "engine/word_spacing.h"
#include "group/point.h"
#include "okvs/paxos.h"
#include "okvs/store_bytes.h"
#include "operations/operations.h"
#include "panic/panic.h"
#include "worker_pool/pool.h"

namespace kestrova::engine_binding {
namespace {

namespace ops = kestrova::operations;
using engine::BadInput;

constexpr size_t kPoint = 32;
constexpr size_t kCiphertext = 128;

void require_records(const Buffer& b, size_t record, const char* name) {
    if (b.bytes().size() % record != 0)
        throw BadInput(std::string(name) + " holds " + std::to_string(b.bytes().size()) +
                       " bytes, not a whole number of " + std::to_string(record) + "-byte records");
}

void require_same(size_t a, size_t b, const char* what) {
    if (a != b) throw BadInput(std::string(what) + " differ in length (" + std::to_string(a) + " and " +
                               std::to_string(b) + ")");
}

void require_key(const Buffer& b, const char* name) {
    if (b.bytes().size() != kPoint) throw BadInput(std::string(name) + " must be 32 bytes");
}

bool overlap(std::span<const uint8_t> a, std::span<const uint8_t> b) {
    if (a.empty() || b.empty()) return false;
    const auto a0 = reinterpret_cast<uintptr_t>(a.data()), b0 = reinterpret_cast<uintptr_t>(b.data());
    return a0 < b0 + b.size() && b0 < a0 + a.size();
}

// Workers write `out` while they read the inputs: an out= sharing bytes with an
// input is refused, unless `in_place` names an input it equals exactly (each
// record is then read before its own result is written over it).
void refuse_overlap(std::span<const uint8_t> out, std::initializer_list<std::span<const uint8_t>> inputs,
                    std::span<const uint8_t> in_place = {}) {
    for (const auto& in : inputs) {
        if (!overlap(out, in)) continue;
        if (!in_place.empty() && in.data() == in_place.data() && in.size() == in_place.size() &&
            out.data() == in.data() && out.size() == in.size())
            continue;
        throw BadInput("out shares memory with an input; give a separate buffer (or exactly the input, "
                       "where a step writes its results in place)");
    }
}

// The result as new bytes, or written into `out` (then None is returned).
struct Output {
    PyObject* object = nullptr;
    Buffer out;
    std::span<uint8_t> span;

    Output(PyObject* given, size_t size) {
        if (given != nullptr) {
            out = Buffer(given, "out", true);
            if (out.writable().size() != size)
                throw BadInput("out holds " + std::to_string(out.writable().size()) + " bytes, the result " +
                               std::to_string(size));
            span = out.writable();
        } else {
            uint8_t* data;
            object = new_bytes(size, &data);
            span = {data, size};
        }
    }
    ~Output() { Py_XDECREF(object); }
    PyObject* result() {
        if (object == nullptr) Py_RETURN_NONE;
        PyObject* r = object;
        object = nullptr;
        return r;
    }
};

PyObject* key_gen(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        bind("key_gen", {}, 0, args, nargs, kwnames, nullptr);
        auto [public_key, secret_key] = ops::key_gen();
        const ct::WipeOnExit wipe_secret(secret_key.data(), secret_key.size());
        // The secret as a bytearray, which its holder can overwrite when done.
        return Py_BuildValue("(y#N)", reinterpret_cast<const char*>(public_key.data()), Py_ssize_t(public_key.size()),
                             PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(secret_key.data()),
                                                           Py_ssize_t(secret_key.size())));
    });
}

PyObject* randomize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        PyObject* a[2];
        bind("randomize", {"ciphertexts", "out"}, 1, args, nargs, kwnames, a);
        const Buffer in(a[0], "ciphertexts");
        require_records(in, kCiphertext, "ciphertexts");
        Output out(a[1], in.bytes().size());
        refuse_overlap(out.span, {in.bytes()}, in.bytes());
        {
            const Unlocked unlocked;
            ops::randomize_into(in.bytes(), out.span);
        }
        return out.result();
    });
}

PyObject* combine(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        PyObject* a[2];
        bind("combine", {"sender_ciphertexts", "receiver_ciphertexts"}, 2, args, nargs, kwnames, a);
        const Buffer sender(a[0], "sender_ciphertexts"), receiver(a[1], "receiver_ciphertexts");
        require_records(sender, kCiphertext, "sender_ciphertexts");
        require_records(receiver, kCiphertext, "receiver_ciphertexts");
        require_same(sender.bytes().size(), receiver.bytes().size(), "the ciphertext lists");
        const size_t size = sender.bytes().size() / kCiphertext * kPoint;
        std::array<Output, 4> parts{Output(nullptr, size), Output(nullptr, size), Output(nullptr, size),
                                    Output(nullptr, size)};
        {
            const Unlocked unlocked;
            ops::combine_into(sender.bytes(), receiver.bytes(),
                              {parts[0].span, parts[1].span, parts[2].span, parts[3].span});
        }
        PyObject* tuple = PyTuple_New(4);
        if (tuple == nullptr) throw PythonErrorSet{};
        for (Py_ssize_t i = 0; i < 4; ++i) PyTuple_SetItem(tuple, i, parts[size_t(i)].result());
        return tuple;
    });
}

PyObject* decrypt(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        PyObject* a[3];
        bind("decrypt", {"points", "bank_secret_key", "out"}, 2, args, nargs, kwnames, a);
        const Buffer points(a[0], "points"), key(a[1], "bank_secret_key");
        require_records(points, kPoint, "points");
        require_key(key, "bank_secret_key");
        Output out(a[2], points.bytes().size());
        refuse_overlap(out.span, {points.bytes(), key.bytes()}, points.bytes());
        {
            const Unlocked unlocked;
            ops::decrypt_into(points.bytes(), key.bytes(), out.span);
        }
        return out.result();
    });
}

PyObject* finish(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        PyObject* a[6];
        bind("finish", {"sender_points", "receiver_points", "gamma_points", "delta_points", "central_secret_key", "out"},
             5, args, nargs, kwnames, a);
        const Buffer s(a[0], "sender_points"), r(a[1], "receiver_points"), g(a[2], "gamma_points"),
            d(a[3], "delta_points"), key(a[4], "central_secret_key");
        require_records(s, kPoint, "sender_points");
        for (const Buffer* b : {&r, &g, &d}) require_same(s.bytes().size(), b->bytes().size(), "the point lists");
        require_key(key, "central_secret_key");
        Output out(a[5], s.bytes().size() / kPoint);
        refuse_overlap(out.span, {s.bytes(), r.bytes(), g.bytes(), d.bytes(), key.bytes()});
        {
            const Unlocked unlocked;
            ops::finish_into(s.bytes(), r.bytes(), g.bytes(), d.bytes(), key.bytes(), out.span);
        }
        return out.result();
    });
}

// Instances of the heap types below: made by the type's own allocator, and
// freed with the reference to their type that each holds.
template <class T>
T* allocate(PyTypeObject* type) {
    PyObject* self = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc))(type, 0);
    if (self == nullptr) throw PythonErrorSet{};
    return reinterpret_cast<T*>(self);
}

void free_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(type);
}

// ---- Store: a store's byte form parsed once, its cells read where they lie.

struct StoreObject {
    PyObject_HEAD
    Buffer* buffer;
    okvs::StoreView* view;
};

PyTypeObject* g_store_type = nullptr;

PyObject* store_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> PyObject* {
        static const char* names[] = {"data", nullptr};
        PyObject* data;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Store", const_cast<char**>(names), &data))
            throw PythonErrorSet{};
        auto buffer = std::make_unique<Buffer>(data, "data");
        auto view = std::make_unique<okvs::StoreView>(okvs::store_view_from_bytes(buffer->bytes()));
        auto* store = allocate<StoreObject>(type);
        store->buffer = buffer.release();
        store->view = view.release();
        return reinterpret_cast<PyObject*>(store);
    });
}

void store_dealloc(PyObject* self) {
    auto* store = reinterpret_cast<StoreObject*>(self);
    delete store->view;
    delete store->buffer;
    free_instance(self);
}

PyObject* store_cells(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(reinterpret_cast<StoreObject*>(self)->view->m);
}

PyObject* store_nbytes(PyObject* self, void*) {
    return PyLong_FromSize_t(reinterpret_cast<StoreObject*>(self)->buffer->bytes().size());
}

PyGetSetDef store_getset[] = {
    {"cells", store_cells, nullptr, "Sparse cells of the store.", nullptr},
    {"nbytes", store_nbytes, nullptr, "Bytes of the store's byte form.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot store_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(store_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(store_dealloc)},
    {Py_tp_getset, store_getset},
    {Py_tp_doc, const_cast<char*>("Store(data): a store's byte form (any buffer, e.g. an mmap), parsed once and "
                                  "read in place for every query batch.")},
    {0, nullptr},
};

PyType_Spec store_spec = {"kestrova_protocol._engine.Store", sizeof(StoreObject), 0, Py_TPFLAGS_DEFAULT,
                          store_slots};

const okvs::StoreView& store_arg(PyObject* object, const char* name) {
    if (!PyObject_TypeCheck(object, g_store_type)) {
        PyErr_Format(PyExc_TypeError, "%s must be a Store", name);
        throw PythonErrorSet{};
    }
    return *reinterpret_cast<StoreObject*>(object)->view;
}

std::span<const uint8_t> store_buffer(PyObject* object) {
    return reinterpret_cast<StoreObject*>(object)->buffer->bytes();
}

// Offsets are integers, signed or not, of 32 or 64 bits: a float array of the
// same width would pass every other check and read as nonsense.
void require_integer_offsets(const Buffer& offsets, const char* name) {
    std::string_view format = offsets.format();
    if (!format.empty() && (format[0] == '@' || format[0] == '=' || format[0] == '<')) format.remove_prefix(1);
    const bool integer = format.size() == 1 && std::string_view("iIlLqQ").find(format[0]) != std::string_view::npos;
    if (!integer || (offsets.itemsize() != 4 && offsets.itemsize() != 8))
        throw BadInput(std::string(name) + ": offsets must be an array of 32- or 64-bit integers ('i' or 'q'), "
                       "not of format '" + std::string(offsets.format()) + "'");
}

// Key bytes and offsets as one column; the offsets' width comes from their format.
struct Keys {
    Buffer bytes, offsets;
    std::unique_ptr<engine::KeyColumn> column;
    Keys(PyObject* b, PyObject* o, const char* name) : bytes(b, name), offsets(o, name, false, true) {
        require_integer_offsets(offsets, name);
        column = std::make_unique<engine::KeyColumn>(bytes.bytes(), offsets.bytes(), offsets.itemsize(), name);
    }
};

PyObject* query(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        PyObject* a[8];
        bind("query",
             {"sender_store", "receiver_store", "sender_keys", "sender_offsets", "receiver_keys", "receiver_offsets",
              "central_key", "out"},
             7, args, nargs, kwnames, a);
        const okvs::StoreView& sender_store = store_arg(a[0], "sender_store");
        const okvs::StoreView& receiver_store = store_arg(a[1], "receiver_store");
        const Keys sender(a[2], a[3], "sender_keys"), receiver(a[4], a[5], "receiver_keys");
        require_same(sender.column->size(), receiver.column->size(), "the sender and receiver keys");
        const Buffer key(a[6], "central_key");
        require_key(key, "central_key");
        Output out(a[7], sender.column->size() * kCiphertext);
        refuse_overlap(out.span, {sender.bytes.bytes(), receiver.bytes.bytes(), sender.offsets.bytes(),
                                  receiver.offsets.bytes(), key.bytes(), store_buffer(a[0]), store_buffer(a[1])});
        {
            const Unlocked unlocked;
            ops::queries_into(sender_store, receiver_store, *sender.column, *receiver.column, key.bytes(), out.span);
        }
        return out.result();
    });
}

PyObject* lookup(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        PyObject* a[4];
        bind("lookup", {"store", "keys", "offsets", "out"}, 3, args, nargs, kwnames, a);
        const okvs::StoreView& store = store_arg(a[0], "store");
        const Keys keys(a[1], a[2], "keys");
        Output out(a[3], keys.column->size() * okvs::kCellBytes);
        {
            const Unlocked unlocked;
            ops::lookups_into(store, *keys.column, out.span);
        }
        return out.result();
    });
}

PyObject* query_cells(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        PyObject* a[4];
        bind("query_cells", {"sender_cells", "receiver_cells", "central_key", "out"}, 3, args, nargs, kwnames, a);
        const Buffer sender(a[0], "sender_cells"), receiver(a[1], "receiver_cells"), key(a[2], "central_key");
        require_records(sender, okvs::kCellBytes, "sender_cells");
        require_records(receiver, okvs::kCellBytes, "receiver_cells");
        require_same(sender.bytes().size(), receiver.bytes().size(), "the sender and receiver cells");
        require_key(key, "central_key");
        Output out(a[3], sender.bytes().size() / okvs::kCellBytes * kCiphertext);
        {
            const Unlocked unlocked;
            ops::queries_from_cells_into(sender.bytes(), receiver.bytes(), key.bytes(), out.span);
        }
        return out.result();
    });
}

// ---- Builder: a store built from key bytes fed in batches.

struct BuilderObject {
    PyObject_HEAD
    engine::StoreBuilder* builder;
    bool busy;
};

// Calls progress(phase, done, total) under the lock.
class CallbackProgress : public engine::Progress {
public:
    explicit CallbackProgress(PyObject* callback) : callback_(callback) {}
    void report(engine::Phase phase, uint64_t done, uint64_t total) override {
        if (callback_ == nullptr) return;
        static const char* const names[] = {"keys hashed", "store solved", "rows encrypted"};
        const bool failed = with_lock([&] {
            PyObject* r = PyObject_CallFunction(callback_, "sKK", names[int(phase)], (unsigned long long)done,
                                                (unsigned long long)total);
            Py_XDECREF(r);
            return r == nullptr;
        });
        if (failed) throw PythonErrorSet{};
    }

private:
    PyObject* callback_;
};

PyObject* builder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> PyObject* {
        static const char* names[] = {"public_key", "expected_rows", nullptr};
        PyObject* key;
        unsigned long long expected = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|K:Builder", const_cast<char**>(names), &key, &expected))
            throw PythonErrorSet{};
        const Buffer pk(key, "public_key");
        require_key(pk, "public_key");
        auto builder = std::make_unique<engine::StoreBuilder>(pk.bytes(), expected);
        auto* b = allocate<BuilderObject>(type);
        b->builder = builder.release();
        b->busy = false;
        return reinterpret_cast<PyObject*>(b);
    });
}

void builder_dealloc(PyObject* self) {
    delete reinterpret_cast<BuilderObject*>(self)->builder;
    free_instance(self);
}

// One call at a time: write() lets go of the lock.
struct Busy {
    BuilderObject* b;
    explicit Busy(PyObject* self) : b(reinterpret_cast<BuilderObject*>(self)) {
        if (b->busy) throw BadInput("the builder is in use by another thread");
        b->busy = true;
    }
    ~Busy() { b->busy = false; }
};

PyObject* builder_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        PyObject* a[2];
        bind("add", {"keys", "offsets"}, 2, args, nargs, kwnames, a);
        const Busy busy(self);
        const Keys keys(a[0], a[1], "keys");
        {
            const Unlocked unlocked;
            busy.b->builder->add(*keys.column);
        }
        return PyLong_FromUnsignedLongLong(busy.b->builder->rows());
    });
}

PyObject* builder_write(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        PyObject* a[2];
        bind("write", {"fd", "progress"}, 1, args, nargs, kwnames, a);
        const Busy busy(self);
        const int fd = PyObject_AsFileDescriptor(a[0]);
        if (fd < 0) throw PythonErrorSet{};
        CallbackProgress progress(a[1]);
        engine::BuildResult r;
        {
            const Unlocked unlocked;
            r = busy.b->builder->write(fd, progress);
        }
        return Py_BuildValue("{sKsKsKsKsy#}", "rows", (unsigned long long)r.rows, "duplicates",
                             (unsigned long long)r.duplicates, "bytes", (unsigned long long)r.bytes, "attempts",
                             (unsigned long long)r.attempts, "digest", reinterpret_cast<const char*>(r.digest.data()),
                             Py_ssize_t(r.digest.size()));
    });
}

PyObject* builder_rows(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(reinterpret_cast<BuilderObject*>(self)->builder->rows());
}

using binding::as_cfunction;

PyMethodDef builder_methods[] = {
    {"add", as_cfunction(builder_add), METH_FASTCALL | METH_KEYWORDS,
     "add(keys, offsets): appends rows given as key bytes end to end and n + 1 offsets; returns the rows held."},
    {"write", as_cfunction(builder_write), METH_FASTCALL | METH_KEYWORDS,
     "write(fd, progress=None): drops repeated keys, builds the store and writes its byte form to fd; "
     "progress(phase, done, total) is called between pieces of work. Returns a dict of counts and the "
     "SHA-256 digest of the bytes written."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef builder_getset[] = {
    {"rows", builder_rows, nullptr, "Rows added so far.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot builder_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(builder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(builder_dealloc)},
    {Py_tp_methods, builder_methods},
    {Py_tp_getset, builder_getset},
    {Py_tp_doc, const_cast<char*>("Builder(public_key, expected_rows=0): a store built from key bytes in batches.")},
    {0, nullptr},
};

PyType_Spec builder_spec = {"kestrova_protocol._engine.Builder", sizeof(BuilderObject), 0, Py_TPFLAGS_DEFAULT,
                            builder_slots};

PyObject* row_hashes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        PyObject* a[2];
        bind("row_hashes", {"keys", "offsets"}, 2, args, nargs, kwnames, a);
        const Keys keys(a[0], a[1], "keys");
        Output out(nullptr, keys.column->size() * sizeof(uint64_t));
        {
            const Unlocked unlocked;
            std::vector<uint64_t> hashes(keys.column->size());
            engine::row_hashes(*keys.column, hashes);
            if (!hashes.empty()) std::memcpy(out.span.data(), hashes.data(), out.span.size());
        }
        return out.result();
    });
}

PyObject* iban_check(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        PyObject* a[3];
        bind("iban_check", {"ibans", "offsets", "lengths"}, 3, args, nargs, kwnames, a);
        const Keys ibans(a[0], a[1], "ibans");
        const Buffer lengths(a[2], "lengths");
        Output out(nullptr, ibans.column->size());
        {
            const Unlocked unlocked;
            engine::iban_check(*ibans.column, lengths.bytes(), out.span);
        }
        return out.result();
    });
}

std::vector<uint32_t> u32s(const Buffer& b, const char* name) {
    if (b.bytes().size() % 4 != 0) throw BadInput(std::string(name) + " must hold 4-byte values");
    std::vector<uint32_t> out(b.bytes().size() / 4);
    if (!out.empty()) std::memcpy(out.data(), b.bytes().data(), b.bytes().size());
    return out;
}

// (bytes, int64 offsets): a text column as its buffers.
PyObject* text_result(const std::string& bytes, const std::vector<int64_t>& offsets) {
    return Py_BuildValue("(y#y#)", bytes.data(), Py_ssize_t(bytes.size()),
                         reinterpret_cast<const char*>(offsets.data()), Py_ssize_t(offsets.size() * 8));
}

PyObject* transliterate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        PyObject* a[5];
        bind("transliterate", {"values", "offsets", "code_points", "replacement_offsets", "replacements"}, 5, args,
             nargs, kwnames, a);
        const Keys values(a[0], a[1], "values");
        const Buffer code_points(a[2], "code_points"), table_offsets(a[3], "replacement_offsets"),
            text(a[4], "replacements");
        const engine::Replacements table{u32s(code_points, "code_points"), u32s(table_offsets, "replacement_offsets"),
                                         text.bytes()};
        engine::check_replacements(table);
        std::string bytes;
        std::vector<int64_t> offsets;
        {
            const Unlocked unlocked;
            engine::transliterate(*values.column, table, bytes, offsets);
        }
        return text_result(bytes, offsets);
    });
}

unsigned long flag_bits(PyObject* o, const char* name) {
    const unsigned long v = PyLong_AsUnsignedLong(o);
    if (PyErr_Occurred()) throw PythonErrorSet{};
    if (v > 0xFF) throw BadInput(std::string(name) + " holds unknown bits");
    return v;
}

PyObject* drop_phrases(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        PyObject* a[7];
        bind("drop_phrases", {"values", "offsets", "lookup", "lookup_offsets", "phrases", "phrase_offsets",
                              "unordered"}, 7, args, nargs, kwnames, a);
        const Keys values(a[0], a[1], "values"), lookup(a[2], a[3], "lookup"), phrases(a[4], a[5], "phrases");
        const bool unordered = flag_bits(a[6], "unordered") != 0;
        std::string bytes;
        std::vector<int64_t> offsets;
        {
            const Unlocked unlocked;
            engine::drop_phrases(*values.column, *lookup.column, *phrases.column, unordered, bytes, offsets);
        }
        return text_result(bytes, offsets);
    });
}

PyObject* space_words(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        PyObject* a[3];
        bind("space_words", {"values", "offsets", "flags"}, 3, args, nargs, kwnames, a);
        const Keys values(a[0], a[1], "values");
        const unsigned flags = unsigned(flag_bits(a[2], "flags"));
        std::string bytes;
        std::vector<int64_t> offsets;
        {
            const Unlocked unlocked;
            engine::space_words(*values.column, flags, bytes, offsets);
        }
        return text_result(bytes, offsets);
    });
}

PyObject* plain_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        PyObject* a[2];
        bind("plain_rows", {"values", "offsets"}, 2, args, nargs, kwnames, a);
        const Keys values(a[0], a[1], "values");
        Output out(nullptr, values.column->size());
        {
            const Unlocked unlocked;
            engine::plain_rows(*values.column, out.span);
        }
        return out.result();
    });
}

PyObject* iban_letters(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        PyObject* a[2];
        bind("iban_letters", {"values", "offsets"}, 2, args, nargs, kwnames, a);
        const Keys values(a[0], a[1], "values");
        std::string bytes;
        std::vector<int64_t> offsets;
        {
            const Unlocked unlocked;
            engine::iban_letters(*values.column, bytes, offsets);
        }
        return text_result(bytes, offsets);
    });
}

PyObject* flag_lines(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        PyObject* a[3];
        bind("flag_lines", {"ids", "offsets", "flags"}, 3, args, nargs, kwnames, a);
        const Keys ids(a[0], a[1], "ids");
        const Buffer flags(a[2], "flags");
        std::string lines;
        {
            const Unlocked unlocked;
            engine::flag_lines(*ids.column, flags.bytes(), lines);
        }
        return PyBytes_FromStringAndSize(lines.data(), Py_ssize_t(lines.size()));
    });
}

PyObject* flag_bitmap(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        PyObject* a[1];
        bind("flag_bitmap", {"flags"}, 1, args, nargs, kwnames, a);
        const Buffer flags(a[0], "flags");
        Output out(nullptr, (flags.bytes().size() + 7) / 8);
        engine::flag_bitmap(flags.bytes(), out.span);
        return out.result();
    });
}

PyObject* store_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        PyObject* a[1];
        bind("store_bytes", {"rows"}, 1, args, nargs, kwnames, a);
        const unsigned long long rows = PyLong_AsUnsignedLongLong(a[0]);
        if (PyErr_Occurred()) throw PythonErrorSet{};
        return PyLong_FromUnsignedLongLong(okvs::store_byte_count(rows));
    });
}

PyObject* build_peak_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        PyObject* a[2];
        bind("build_peak_bytes", {"rows", "key_bytes"}, 2, args, nargs, kwnames, a);
        const unsigned long long rows = PyLong_AsUnsignedLongLong(a[0]);
        if (PyErr_Occurred()) throw PythonErrorSet{};
        const unsigned long long key_bytes = PyLong_AsUnsignedLongLong(a[1]);
        if (PyErr_Occurred()) throw PythonErrorSet{};
        return PyLong_FromUnsignedLongLong(engine::StoreBuilder::peak_bytes(rows, key_bytes));
    });
}

PyObject* classify_point(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        PyObject* a[1];
        bind("classify_point", {"point"}, 1, args, nargs, kwnames, a);
        const Buffer point(a[0], "point");
        require_key(point, "point");
        static const char* const names[] = {"prime order", "not canonical", "not on the curve", "small order",
                                            "mixed order"};
        return PyUnicode_FromString(names[int(group::classify_vartime(point.bytes().data()))]);
    });
}

PyObject* request_threads(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        PyObject* a[1];
        bind("request_threads", {"threads"}, 1, args, nargs, kwnames, a);
        const size_t threads = PyLong_AsSize_t(a[0]);
        if (PyErr_Occurred()) throw PythonErrorSet{};
        return PyLong_FromSize_t(worker_pool::request_pool_size(threads));
    });
}

PyObject* start_threads(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        bind("start_threads", {}, 0, args, nargs, kwnames, nullptr);
        return PyLong_FromSize_t(worker_pool::global_pool().thread_count());
    });
}

PyObject* chosen_backend(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        bind("backend", {}, 0, args, nargs, kwnames, nullptr);
        return PyUnicode_FromString(backend::chosen().name());
    });
}

PyMethodDef functions[] = {
    {"request_threads", as_cfunction(request_threads), METH_FASTCALL | METH_KEYWORDS,
     "request_threads(threads): the worker pool gets that many threads (0: one per processor) if it has not "
     "started yet, whatever RAYON_NUM_THREADS says; returns the size it has or will have."},
    {"start_threads", as_cfunction(start_threads), METH_FASTCALL | METH_KEYWORDS,
     "start_threads(): starts the worker pool now if it has not started; returns its size."},
    {"backend", as_cfunction(chosen_backend), METH_FASTCALL | METH_KEYWORDS,
     "backend(): the batch backend in use, 'avx512ifma', 'avx2' or 'serial': the best this processor runs, "
     "or the one KESTROVA_BACKEND names."},
    {"classify_point", as_cfunction(classify_point), METH_FASTCALL | METH_KEYWORDS,
     "classify_point(point): what 32 bytes encode: 'prime order' (a point of the base point's group, canonically "
     "written), or 'not canonical', 'not on the curve', 'small order', 'mixed order' (a small-order part beside "
     "the rest)."},
    {"key_gen", as_cfunction(key_gen), METH_FASTCALL | METH_KEYWORDS,
     "key_gen(): (public_key: bytes, secret_key: bytearray)."},
    {"randomize", as_cfunction(randomize), METH_FASTCALL | METH_KEYWORDS,
     "randomize(ciphertexts, out=None): each 128-byte ciphertext times a fresh scalar."},
    {"combine", as_cfunction(combine), METH_FASTCALL | METH_KEYWORDS,
     "combine(sender_ciphertexts, receiver_ciphertexts): (sender, receiver, gamma, delta) point lists."},
    {"decrypt", as_cfunction(decrypt), METH_FASTCALL | METH_KEYWORDS,
     "decrypt(points, bank_secret_key, out=None): each point times the bank's secret key."},
    {"finish", as_cfunction(finish), METH_FASTCALL | METH_KEYWORDS,
     "finish(sender, receiver, gamma, delta, central_secret_key, out=None): one byte per transaction, 1 = match."},
    {"query", as_cfunction(query), METH_FASTCALL | METH_KEYWORDS,
     "query(sender_store, receiver_store, sender_keys, sender_offsets, receiver_keys, receiver_offsets, "
     "central_key, out=None): one 128-byte query ciphertext per transaction."},
    {"lookup", as_cfunction(lookup), METH_FASTCALL | METH_KEYWORDS,
     "lookup(store, keys, offsets, out=None): each key's 64-byte cell of the store."},
    {"query_cells", as_cfunction(query_cells), METH_FASTCALL | METH_KEYWORDS,
     "query_cells(sender_cells, receiver_cells, central_key, out=None): query's ciphertexts from cells that "
     "lookup gave, so that the two stores need not be held at once."},
    {"iban_check", as_cfunction(iban_check), METH_FASTCALL | METH_KEYWORDS,
     "iban_check(ibans, offsets, lengths): one byte per IBAN, 1 when its country's length (lengths: 676 bytes, "
     "by the two letters) and its check digits are right."},
    {"transliterate", as_cfunction(transliterate), METH_FASTCALL | METH_KEYWORDS,
     "transliterate(values, offsets, code_points, replacement_offsets, replacements): (bytes, int64 offsets) of "
     "the values with each listed character replaced; a value holding U+001F is kept as it is."},
    {"drop_phrases", as_cfunction(drop_phrases), METH_FASTCALL | METH_KEYWORDS,
     "drop_phrases(values, offsets, lookup, lookup_offsets, phrases, phrase_offsets, unordered): (bytes, int64 "
     "offsets) of the values (words between single spaces) without the phrases their lookup words spell at "
     "their end (anywhere, and the words sorted, when unordered), never the last words left."},
    {"space_words", as_cfunction(space_words), METH_FASTCALL | METH_KEYWORDS,
     "space_words(values, offsets, flags): (bytes, int64 offsets) of the plain values with punctuation (1), "
     "spelt-out umlauts (2), runs of white space (4) or all white space (8) tidied; others as they are."},
    {"plain_rows", as_cfunction(plain_rows), METH_FASTCALL | METH_KEYWORDS,
     "plain_rows(values, offsets): one byte per value, 1 when it holds ASCII and letters of scripts without "
     "case only."},
    {"flag_lines", as_cfunction(flag_lines), METH_FASTCALL | METH_KEYWORDS,
     "flag_lines(ids, offsets, flags): the CSV lines 'id,true' or 'id,false' of each id and its flag byte, an id "
     "with a quote, comma, CR or LF quoted."},
    {"flag_bitmap", as_cfunction(flag_bitmap), METH_FASTCALL | METH_KEYWORDS,
     "flag_bitmap(flags): one bit per flag byte (set when nonzero), least significant first, as an Arrow "
     "boolean array holds them."},
    {"iban_letters", as_cfunction(iban_letters), METH_FASTCALL | METH_KEYWORDS,
     "iban_letters(values, offsets): (bytes, int64 offsets) of the values with only ASCII letters, upper-cased, "
     "and digits kept."},
    {"row_hashes", as_cfunction(row_hashes), METH_FASTCALL | METH_KEYWORDS,
     "row_hashes(keys, offsets): one 64-bit hash per key (native byte order), as bytes; equal keys, equal hashes."},
    {"store_bytes", as_cfunction(store_bytes), METH_FASTCALL | METH_KEYWORDS,
     "store_bytes(rows): the size of a store of that many rows."},
    {"build_peak_bytes", as_cfunction(build_peak_bytes), METH_FASTCALL | METH_KEYWORDS,
     "build_peak_bytes(rows, key_bytes): the memory a Builder needs at its peak, about."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, KESTROVA_MODULE_NAME(_engine), "The native engine of the parties' tools: buffers in, bytes out.",
    -1, functions, nullptr, nullptr, nullptr, nullptr,
};

void add_type(PyObject* module, PyType_Spec* type_shape, PyTypeObject** slot) {
    PyObject* type = PyType_FromSpec(type_shape);
    if (type == nullptr) throw PythonErrorSet{};
    *slot = reinterpret_cast<PyTypeObject*>(type);
    const char* dot = std::strrchr(type_shape->name, '.');
    if (PyModule_AddObjectRef(module, dot + 1, type) < 0) throw PythonErrorSet{};
}

PyObject* create_module() {
    PyObject* module = PyModule_Create(&module_definition);
    if (module == nullptr) throw PythonErrorSet{};
    const auto fill = [](PyObject* m) {
        PyTypeObject* builder_type;
        add_type(m, &store_spec, &g_store_type);
        add_type(m, &builder_spec, &builder_type);
        Py_DECREF(builder_type);  // the module holds it
        engine_error() = PyErr_NewException("kestrova_protocol._engine.EngineError", PyExc_ValueError, nullptr);
        if (engine_error() == nullptr || PyModule_AddObjectRef(m, "EngineError", engine_error()) < 0)
            throw PythonErrorSet{};
#ifdef KESTROVA_TEST_HOOKS
        if (PyModule_AddFunctions(m, binding::test_hooks::functions) < 0) throw PythonErrorSet{};
#endif
        // The tools turn every failure into one line of their own.
        set_panic_reports(false);
    };
    return binding::finished_module(module, fill, interrupt_check);
}

}  // namespace
}  // namespace kestrova::engine_binding

extern "C" __attribute__((visibility("default"))) PyObject* KESTROVA_MODULE_INIT(_engine)() {
    return kestrova::engine_binding::guard([] { return kestrova::engine_binding::create_module(); });
}
