#pragma once

#include <cstdint>

#include "group/scalar.h"

// What both vector layouts share, whatever their lane count.
namespace kestrova::backend::lanes {

// The signed radix-16 digits of s over `lanes` lanes of 32 / lanes rows each:
// row r = (32 / lanes)·lane + step takes digits 2r (to even) and 2r + 1 (to odd),
// stored at [step][lane]. The scratch digits are wiped.
void split_digits(const group::Scalar& s, int lanes, int64_t* even, int64_t* odd);

// A table built on first use and kept for the process (never freed: workers may read it at exit).
template <class T, class Fill>
const T& built_once(Fill fill) {
    static const T* const t = [&] {
        auto* table = new T;
        fill(*table);
        return table;
    }();
    return *t;
}

}  // namespace kestrova::backend::lanes
