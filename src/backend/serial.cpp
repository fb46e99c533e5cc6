#include "backend/serial.h"

#include <algorithm>

#include "group/point_internal.h"
#include "group/scalar_mul.h"

namespace kestrova::backend {

using group::Point;
using group::Scalar;

namespace {

// A copy of the entries, walked by the portable loop.
class SerialTable final : public PreparedTable {
public:
    explicit SerialTable(const group::PointNiels* entries) { std::copy_n(entries, group::kTableEntries, entries_); }
    Point mul(const Scalar& s) const override { return group::mul_table(entries_, s); }
    void mul_each(const Scalar* scalars, Point* out, size_t n) const override {
        for (size_t i = 0; i < n; ++i) out[i] = mul(scalars[i]);
    }

private:
    group::PointNiels entries_[group::kTableEntries];
};

}  // namespace

const char* SerialBackend::name() const { return "serial"; }

void SerialBackend::mul_each(const Point* points, const Scalar* scalars, Point* out, size_t n) const {
    for (size_t i = 0; i < n; ++i) out[i] = group::mul_point(points[i], scalars[i]);
}

void SerialBackend::mul_cleared_each(const Point* points, const Point& addend, const Scalar* scalars, Point* out,
                                     size_t n) const {
    for (size_t i = 0; i < n; ++i) {
        out[i] = group::mul_point(group::add(group::clear_cofactor(points[i]), addend), scalars[i]);
    }
}

void SerialBackend::mul_all(const Point* points, const Scalar& s, Point* out, size_t n) const {
    for (size_t i = 0; i < n; ++i) out[i] = group::mul_point(points[i], s);
}

void SerialBackend::mul_base_each(const Scalar* scalars, Point* out, size_t n) const {
    for (size_t i = 0; i < n; ++i) out[i] = mul_base_one(scalars[i]);
}

Point SerialBackend::mul_base_one(const Scalar& s) const { return group::mul_table(group::base_table(), s); }

void SerialBackend::compress_all(const Point* points, uint8_t* out, size_t n) const {
    group::compress_batch(points, out, n);
}

void SerialBackend::decompress_all(const uint8_t* in, Point* out, uint8_t* ok, size_t n) const {
    for (size_t i = 0; i < n; ++i) {
        const std::optional<Point> p = group::decompress_vartime(in + group::kPointBytes * i);
        ok[i] = p.has_value() ? 1 : 0;
        if (p) out[i] = *p;
    }
}

void SerialBackend::pow22523_each(const field::Fe* in, field::Fe* out, size_t n) const {
    for (size_t i = 0; i < n; ++i) out[i] = field::fe_pow22523(in[i]);
}

std::unique_ptr<PreparedTable> SerialBackend::prepare_table(const group::PointNiels* entries) const {
    return std::make_unique<SerialTable>(entries);
}

}  // namespace kestrova::backend
