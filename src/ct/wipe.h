// Clearing secrets in a way the compiler may not drop as a dead store.
#pragma once

#include <cstddef>
#include <string.h>

#include <type_traits>

namespace kestrova::ct {

inline void wipe(void* p, std::size_t n) { explicit_bzero(p, n); }

// Plain objects only: a container's bytes are not its elements.
template <class T>
inline void wipe_object(T& x) {
    static_assert(std::is_trivially_copyable_v<T>);
    wipe(&x, sizeof x);
}

// Wipes n bytes at p when the scope ends, whichever way it ends.
class WipeOnExit {
public:
    WipeOnExit(void* p, std::size_t n) : p_(p), n_(n) {}
    template <class T>
    explicit WipeOnExit(T& x) : WipeOnExit(&x, sizeof x) {
        static_assert(std::is_trivially_copyable_v<T>);
    }
    ~WipeOnExit() { wipe(p_, n_); }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

private:
    void* p_;
    std::size_t n_;
};

}  // namespace kestrova::ct
