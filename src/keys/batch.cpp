#include "keys/batch.h"

#include "keys/batch_ifma.h"

#include <algorithm>

namespace kestrova::keys {

namespace {

void serial_mul_each(const Point* points, const Scalar* scalars, Point* out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = mul(points[i], scalars[i]);
}

void serial_mul_all(const Point* points, const Scalar& s, Point* out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = mul(points[i], s);
}

void serial_mul_base_each(const Scalar* scalars, Point* out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = mul_base_serial(scalars[i]);
}

void serial_mul_table_each(const FixedBaseTable& table, const Scalar* scalars, Point* out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = table.mul_serial(scalars[i]);
}

void serial_compress_all(const Point* points, uint8_t* out, size_t n) {
    // Blocks keep the scratch on the stack; one inversion per block.
    constexpr size_t kBlock = 64;
    Fe z[kBlock], scratch[kBlock];
    for (size_t start = 0; start < n; start += kBlock) {
        const size_t m = std::min(kBlock, n - start);
        for (size_t i = 0; i < m; ++i) z[i] = points[start + i].Z;
        fe_batch_invert(z, m, scratch);
        for (size_t i = 0; i < m; ++i) {
            const Point& p = points[start + i];
            uint8_t* o = out + 32 * (start + i);
            fe_to_bytes(o, fe_mul(p.Y, z[i]));
            o[31] |= uint8_t(fe_is_negative(fe_mul(p.X, z[i])) << 7);
        }
    }
}

void serial_decompress_all(const uint8_t* in, Point* out, uint8_t* ok, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const std::optional<Point> p = decompress(in + 32 * i);
        ok[i] = p.has_value() ? 1 : 0;
        if (p) out[i] = *p;
    }
}

const BatchBackend kSerial = {
    "serial",
    serial_mul_each,
    serial_mul_all,
    serial_mul_base_each,
    serial_mul_table_each,
    serial_compress_all,
    serial_decompress_all,
    mul_base_serial,
    nullptr,
    nullptr,
};

const BatchBackend* choose_backend() {
    if (const BatchBackend* ifma = ifma_backend()) return ifma;
    return &kSerial;
}

}  // namespace

const BatchBackend& serial_backend() { return kSerial; }

const BatchBackend& batch_backend() {
    static const BatchBackend* const chosen = choose_backend();
    return *chosen;
}

void mul_each(std::span<const Point> points, std::span<const Scalar> scalars, std::span<Point> out) {
    const size_t n = std::min({points.size(), scalars.size(), out.size()});
    batch_backend().mul_each(points.data(), scalars.data(), out.data(), n);
}

void mul_all(std::span<const Point> points, const Scalar& s, std::span<Point> out) {
    const size_t n = std::min(points.size(), out.size());
    batch_backend().mul_all(points.data(), s, out.data(), n);
}

void mul_base_each(std::span<const Scalar> scalars, std::span<Point> out) {
    const size_t n = std::min(scalars.size(), out.size());
    batch_backend().mul_base_each(scalars.data(), out.data(), n);
}

void mul_table_each(const FixedBaseTable& table, std::span<const Scalar> scalars, std::span<Point> out) {
    const size_t n = std::min(scalars.size(), out.size());
    batch_backend().mul_table_each(table, scalars.data(), out.data(), n);
}

void compress_all(std::span<const Point> points, uint8_t* out) {
    batch_backend().compress_all(points.data(), out, points.size());
}

void decompress_all(const uint8_t* in, std::span<Point> out, std::span<uint8_t> ok) {
    const size_t n = std::min(out.size(), ok.size());
    batch_backend().decompress_all(in, out.data(), ok.data(), n);
}

}  // namespace kestrova::keys
