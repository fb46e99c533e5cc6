// The shell shared by the vector backends: the Backend and PreparedTable
// interfaces forwarded to one set of kernels. Kernels supplies the static
// functions below and the layouts of a run-time table (Rows for blocks of
// scalars, Split for single multiplications spread over the lanes).
#pragma once

#include <memory>

#include "backend/backend.h"
#include "group/point.h"

namespace kestrova::backend {

template <class Kernels>
class VectorTable final : public PreparedTable {
public:
    explicit VectorTable(const group::PointNiels* entries) {
        rows_->fill(entries);
        Kernels::fill_split(*split_, *rows_);
    }
    group::Point mul(const group::Scalar& s) const override { return Kernels::mul_split(*split_, s); }
    void mul_each(const group::Scalar* scalars, group::Point* out, size_t n) const override {
        Kernels::table_mul_blocks(*rows_, scalars, out, n);
    }

private:
    std::unique_ptr<typename Kernels::Rows> rows_ = std::make_unique<typename Kernels::Rows>();
    std::unique_ptr<typename Kernels::Split> split_ = std::make_unique<typename Kernels::Split>();
};

template <class Kernels>
class VectorBackend final : public Backend {
public:
    const char* name() const override { return Kernels::kName; }
    void mul_each(const group::Point* points, const group::Scalar* scalars, group::Point* out,
                  size_t n) const override {
        Kernels::mul_each(points, scalars, out, n);
    }
    void mul_all(const group::Point* points, const group::Scalar& s, group::Point* out, size_t n) const override {
        Kernels::mul_all(points, s, out, n);
    }
    void mul_cleared_each(const group::Point* points, const group::Point& addend, const group::Scalar* scalars,
                          group::Point* out, size_t n) const override {
        Kernels::mul_cleared_each(points, addend, scalars, out, n);
    }
    void mul_base_each(const group::Scalar* scalars, group::Point* out, size_t n) const override {
        Kernels::table_mul_blocks(Kernels::base_rows(), scalars, out, n);
    }
    group::Point mul_base_one(const group::Scalar& s) const override {
        return Kernels::mul_split(Kernels::base_split(), s);
    }
    void compress_all(const group::Point* points, uint8_t* out, size_t n) const override {
        group::compress_batch(points, out, n);
    }
    void decompress_all(const uint8_t* in, group::Point* out, uint8_t* ok, size_t n) const override {
        Kernels::decompress_all(in, out, ok, n);
    }
    void pow22523_each(const field::Fe* in, field::Fe* out, size_t n) const override {
        Kernels::pow22523_each(in, out, n);
    }
    std::unique_ptr<PreparedTable> prepare_table(const group::PointNiels* entries) const override {
        return std::make_unique<VectorTable<Kernels>>(entries);
    }
};

}  // namespace kestrova::backend
