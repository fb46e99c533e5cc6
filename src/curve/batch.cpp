#include "curve/batch.h"

#include <string>

#include "backend/backend.h"
#include "panic/panic.h"

namespace kestrova::curve {

namespace {

void same_size(size_t a, size_t b) {
    if (a != b) panic("batch spans differ in size: " + std::to_string(a) + " and " + std::to_string(b));
}

}  // namespace

void mul_each(std::span<const group::Point> points, std::span<const group::Scalar> scalars,
              std::span<group::Point> out) {
    same_size(points.size(), scalars.size());
    same_size(points.size(), out.size());
    backend::chosen().mul_each(points.data(), scalars.data(), out.data(), out.size());
}

void mul_cleared_each(std::span<const group::Point> points, const group::Point& addend,
                      std::span<const group::Scalar> scalars, std::span<group::Point> out) {
    same_size(points.size(), scalars.size());
    same_size(points.size(), out.size());
    backend::chosen().mul_cleared_each(points.data(), addend, scalars.data(), out.data(), out.size());
}

void mul_all(std::span<const group::Point> points, const group::Scalar& s, std::span<group::Point> out) {
    same_size(points.size(), out.size());
    backend::chosen().mul_all(points.data(), s, out.data(), out.size());
}

void mul_base_each(std::span<const group::Scalar> scalars, std::span<group::Point> out) {
    same_size(scalars.size(), out.size());
    backend::chosen().mul_base_each(scalars.data(), out.data(), out.size());
}

void mul_table_each(const FixedBaseTable& table, std::span<const group::Scalar> scalars,
                    std::span<group::Point> out) {
    same_size(scalars.size(), out.size());
    table.prepared().mul_each(scalars.data(), out.data(), out.size());
}

void compress_all(std::span<const group::Point> points, std::span<uint8_t> out) {
    same_size(group::kPointBytes * points.size(), out.size());
    backend::chosen().compress_all(points.data(), out.data(), points.size());
}

void decompress_all(std::span<const uint8_t> in, std::span<group::Point> out, std::span<uint8_t> ok) {
    same_size(in.size(), group::kPointBytes * out.size());
    same_size(out.size(), ok.size());
    backend::chosen().decompress_all(in.data(), out.data(), ok.data(), out.size());
}

void pow22523_each(std::span<const field::Fe> in, std::span<field::Fe> out) {
    same_size(in.size(), out.size());
    backend::chosen().pow22523_each(in.data(), out.data(), out.size());
}

}  // namespace kestrova::curve
