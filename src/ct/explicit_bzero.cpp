// explicit_bzero for the wheels, which run on glibc from 2.17 while glibc has
// it only from 2.25: without this definition the modules would import it
// unversioned and fail to load on an older glibc. Linked into each module of a
// zig build only, and local to it (the modules export PyInit_ alone).
#include <cstddef>
#include <cstring>

extern "C" void explicit_bzero(void* p, std::size_t n) noexcept {
    std::memset(p, 0, n);
    // The zeros are stored before anything may read p: the compiler may not drop them.
    __asm__ __volatile__("" : : "r"(p) : "memory");
}
