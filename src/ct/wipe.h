// Clearing secrets in a way the compiler may not drop as a dead store.
#pragma once

#include <cstddef>
#include <string.h>

namespace kestrova::ct {

inline void wipe(void* p, std::size_t n) { explicit_bzero(p, n); }

template <class T>
inline void wipe_object(T& x) {
    wipe(&x, sizeof x);
}

// Wipes n bytes at p when the scope ends, whichever way it ends.
class WipeOnExit {
public:
    WipeOnExit(void* p, std::size_t n) : p_(p), n_(n) {}
    template <class T>
    explicit WipeOnExit(T& x) : WipeOnExit(&x, sizeof x) {}
    ~WipeOnExit() { wipe(p_, n_); }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

private:
    void* p_;
    std::size_t n_;
};

}  // namespace kestrova::ct
