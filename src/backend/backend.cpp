#include "backend/backend.h"

#include <cstdlib>
#include <string>

#include "backend/serial.h"
#include "panic/panic.h"

namespace kestrova::backend {

namespace {

// The vector backends are built for x86-64 only.
const Backend* vector_backend() {
#if defined(__x86_64__)
    return ifma();
#else
    return nullptr;
#endif
}

const Backend& choose() {
    const char* name = std::getenv("KESTROVA_BACKEND");
    if (name == nullptr || *name == '\0') {
        if (const Backend* vector = vector_backend()) return *vector;
        return serial();
    }
    const std::string wanted = name;
    if (wanted == "serial") return serial();
    if (wanted == "avx512ifma") {
        if (const Backend* vector = vector_backend()) return *vector;
        panic("KESTROVA_BACKEND=avx512ifma, but this processor lacks AVX-512 IFMA");
    }
    panic("KESTROVA_BACKEND must be serial or avx512ifma, not " + wanted);
}

}  // namespace

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
