// The batch kernels behind one interface, chosen once per process. The serial
// backend is the reference and runs everywhere; a vector backend takes its
// place without any change to the callers. Every kernel takes raw arrays of
// n items; the group API above checks sizes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "field/field.h"
#include "group/point.h"
#include "group/scalar.h"

namespace kestrova::group {
struct PointNiels;  // the formulas' intermediate form, seen only by group/ and backend/
}

namespace kestrova::backend {

// A run-time fixed-base table in the layout of the backend that prepared it.
class PreparedTable {
public:
    virtual ~PreparedTable() = default;
    // s * (the table's point)
    virtual group::Point mul(const group::Scalar& s) const = 0;
    // out[i] = scalars[i] * (the table's point)
    virtual void mul_each(const group::Scalar* scalars, group::Point* out, size_t n) const = 0;
};

class Backend {
public:
    virtual ~Backend() = default;
    virtual const char* name() const = 0;
    // out[i] = scalars[i] * points[i]
    virtual void mul_each(const group::Point* points, const group::Scalar* scalars, group::Point* out,
                          size_t n) const = 0;
    // out[i] = scalars[i] * (8 * points[i] + addend): the cofactor cleared
    // inside the kernel, before the multiplication.
    virtual void mul_cleared_each(const group::Point* points, const group::Point& addend,
                                  const group::Scalar* scalars, group::Point* out, size_t n) const = 0;
    // out[i] = s * points[i]
    virtual void mul_all(const group::Point* points, const group::Scalar& s, group::Point* out, size_t n) const = 0;
    // out[i] = scalars[i] * B
    virtual void mul_base_each(const group::Scalar* scalars, group::Point* out, size_t n) const = 0;
    // s * B for a single scalar (a vector backend spreads the table rows over its lanes).
    virtual group::Point mul_base_one(const group::Scalar& s) const = 0;
    // 32 bytes per point into out.
    virtual void compress_all(const group::Point* points, uint8_t* out, size_t n) const = 0;
    // Point i from in[32 i .. 32 i + 31]; ok[i] = 1 when it decompresses (out[i]
    // is then set), 0 otherwise.
    virtual void decompress_all(const uint8_t* in, group::Point* out, uint8_t* ok, size_t n) const = 0;
    // out[i] = in[i]^((p-5)/8): the exponentiation inside every square root and
    // square test, so that callers can batch those around it (out may be in).
    virtual void pow22523_each(const field::Fe* in, field::Fe* out, size_t n) const = 0;
    // The table of group::fill_table in this backend's layout.
    virtual std::unique_ptr<PreparedTable> prepare_table(const group::PointNiels* entries) const = 0;
};

// The backend in use, chosen on the first call: KESTROVA_BACKEND ("serial",
// "avx2" or "avx512ifma") when set, otherwise the best this processor runs
// (IFMA, then AVX2, then serial). An unknown
// name, or one this processor cannot run, panics at every call.
const Backend& chosen();

// The chosen backend's table of a point known at run time (group::fill_table's entries).
std::unique_ptr<PreparedTable> prepare_table_of(const group::Point& p);

// The portable one-point-at-a-time backend.
const Backend& serial();
// Null when the processor or the operating system lacks AVX-512 IFMA (and
// always on processors other than x86-64).
const Backend* ifma();
// Null when the processor or the operating system lacks AVX2.
const Backend* avx2();

}  // namespace kestrova::backend
