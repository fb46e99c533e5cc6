// The serial backend: the group's portable loops, one item at a time.
#pragma once

#include "backend/backend.h"

namespace kestrova::backend {

class SerialBackend final : public Backend {
public:
    const char* name() const override;
    void mul_each(const group::Point* points, const group::Scalar* scalars, group::Point* out,
                  size_t n) const override;
    void mul_cleared_each(const group::Point* points, const group::Point& addend, const group::Scalar* scalars,
                          group::Point* out, size_t n) const override;
    void mul_all(const group::Point* points, const group::Scalar& s, group::Point* out, size_t n) const override;
    void mul_base_each(const group::Scalar* scalars, group::Point* out, size_t n) const override;
    group::Point mul_base_one(const group::Scalar& s) const override;
    void compress_all(const group::Point* points, uint8_t* out, size_t n) const override;
    void decompress_all(const uint8_t* in, group::Point* out, uint8_t* ok, size_t n) const override;
    void pow22523_each(const field::Fe* in, field::Fe* out, size_t n) const override;
    std::unique_ptr<PreparedTable> prepare_table(const group::PointNiels* entries) const override;
};

}  // namespace kestrova::backend
