// Invariant checks of the arithmetic, compiled in only when the build sets
// KESTROVA_VERIFY (the sanitizer build does). A failed check aborts: a broken
// bound is a bug in a formula, not an error a caller could handle.
#pragma once

namespace kestrova {

[[noreturn]] void verify_failed(const char* condition, const char* file, int line);

}  // namespace kestrova

#ifdef KESTROVA_VERIFY
#define KESTROVA_VERIFY_CHECK(cond) \
    ((cond) ? void(0) : ::kestrova::verify_failed(#cond, __FILE__, __LINE__))
#else
#define KESTROVA_VERIFY_CHECK(cond) ((void)0)
#endif
