// Kernels over many points, behind one table of entry points chosen once per
// process. The serial backend is the reference; a vector backend can take its
// place without any change to the callers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "keys/multiply.h"
#include "keys/point.h"
#include "keys/scalar.h"

namespace kestrova::keys {

struct BatchBackend {
    const char* name;
    // out[i] = scalars[i] * points[i]
    void (*mul_each)(const Point* points, const Scalar* scalars, Point* out, size_t n);
    // out[i] = s * points[i]
    void (*mul_all)(const Point* points, const Scalar& s, Point* out, size_t n);
    // out[i] = scalars[i] * B
    void (*mul_base_each)(const Scalar* scalars, Point* out, size_t n);
    // out[i] = scalars[i] * (the table's point)
    void (*mul_table_each)(const FixedBaseTable& table, const Scalar* scalars, Point* out, size_t n);
    // 32 bytes per point into out, sharing one inversion per block of points.
    void (*compress_all)(const Point* points, uint8_t* out, size_t n);
    // Point i from in[32 i .. 32 i + 31]; ok[i] = 1 when it decompresses (out[i]
    // is then set), 0 otherwise.
    void (*decompress_all)(const uint8_t* in, Point* out, uint8_t* ok, size_t n);
    // s * B for a single scalar (a vector backend spreads the table rows over its lanes).
    Point (*mul_base_one)(const Scalar& s);
    // Optional (null in the serial backend): a copy of a run-time table in the
    // backend's own layout, and one multiplication through such a copy.
    std::shared_ptr<const void> (*prepare_table)(const PointNiels* entries);
    Point (*mul_prepared_one)(const void* prepared, const Scalar& s);
};

// The backend in use, picked on first call.
const BatchBackend& batch_backend();
// The portable one-point-at-a-time backend.
const BatchBackend& serial_backend();

// Span forms; sizes are the common prefix of the spans given.
void mul_each(std::span<const Point> points, std::span<const Scalar> scalars, std::span<Point> out);
void mul_all(std::span<const Point> points, const Scalar& s, std::span<Point> out);
void mul_base_each(std::span<const Scalar> scalars, std::span<Point> out);
void mul_table_each(const FixedBaseTable& table, std::span<const Scalar> scalars, std::span<Point> out);
// out holds 32 bytes per point.
void compress_all(std::span<const Point> points, uint8_t* out);
// in holds 32 bytes per point; ok one flag per point.
void decompress_all(const uint8_t* in, std::span<Point> out, std::span<uint8_t> ok);

}  // namespace kestrova::keys
