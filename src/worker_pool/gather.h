// Order-preserving gathering over the worker pool: extract(records[0]) ++
// extract(records[1]) ++ ..., where extract returns (a reference to) a
// fixed-size field, std::array<uint8_t, K>, copied straight into the result.
// extract runs exactly once per record, on the workers (or on the calling
// thread for at most one record), concurrently through a const reference: it
// must not share mutable state. grain is the smallest number of records one
// thread takes at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <type_traits>
#include <vector>

#include "panic/panic.h"
#include "worker_pool/pool.h"

namespace kestrova::worker_pool {

namespace detail {

template <class R>
struct FixedBytes {
    static constexpr bool value = false;
};
template <std::size_t K>
struct FixedBytes<std::array<std::uint8_t, K>> {
    static constexpr bool value = true;
    static constexpr std::size_t size = K;
};

inline std::size_t checked_product(std::size_t a, std::size_t b) {
    if (b != 0 && a > std::numeric_limits<std::size_t>::max() / b) panic("capacity overflow");
    return a * b;
}

}  // namespace detail

template <class Rec, class F>
std::vector<std::uint8_t> gather(Pool& pool, const std::vector<Rec>& records, const F& extract,
                                 std::size_t grain = 1) {
    using R = std::remove_cvref_t<std::invoke_result_t<const F&, const Rec&>>;
    static_assert(detail::FixedBytes<R>::value, "extract must return std::array<uint8_t, K>");
    constexpr std::size_t k = detail::FixedBytes<R>::size;
    std::vector<std::uint8_t> out(detail::checked_product(records.size(), k));
    pool.run(records.size(), grain, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const R& bytes = std::invoke(extract, records[i]);
            if constexpr (k != 0) std::memcpy(out.data() + i * k, bytes.data(), k);
        }
    });
    return out;
}
template <class Rec, class F>
std::vector<std::uint8_t> gather(const std::vector<Rec>& records, const F& extract, std::size_t grain = 1) {
    return gather(global_pool(), records, extract, grain);
}

}  // namespace kestrova::worker_pool
