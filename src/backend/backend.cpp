#include "backend/backend.h"

#include <cstdlib>
#include <string>

#include "backend/serial.h"
#include "group/point_internal.h"
#include "group/scalar_mul.h"
#include "panic/panic.h"

namespace kestrova::backend {

namespace {

const Backend& choose() {
    const char* name = std::getenv("KESTROVA_BACKEND");
    if (name == nullptr || *name == '\0') {
        if (const Backend* vector = ifma()) return *vector;
        if (const Backend* vector = avx2()) return *vector;
        return serial();
    }
    const std::string wanted = name;
    if (wanted == "serial") return serial();
    if (wanted == "avx512ifma") {
        if (const Backend* vector = ifma()) return *vector;
        panic("KESTROVA_BACKEND=avx512ifma, but this processor lacks AVX-512 IFMA");
    }
    if (wanted == "avx2") {
        if (const Backend* vector = avx2()) return *vector;
        panic("KESTROVA_BACKEND=avx2, but this processor lacks AVX2");
    }
    panic("KESTROVA_BACKEND must be serial, avx2 or avx512ifma, not " + wanted);
}

}  // namespace

#if !defined(__x86_64__)
// The vector backends and their processor checks are built for x86-64 only.
const Backend* ifma() { return nullptr; }
const Backend* avx2() { return nullptr; }
#endif

std::unique_ptr<PreparedTable> prepare_table_of(const group::Point& p) {
    group::PointNiels entries[group::kTableEntries];
    group::fill_table(p, entries);
    return chosen().prepare_table(entries);
}

const Backend& serial() {
    static const SerialBackend backend;
    return backend;
}

const Backend& chosen() {
    // A panic leaves the static unset, so every later call panics the same way.
    static const Backend& backend = choose();
    return backend;
}

}  // namespace kestrova::backend
