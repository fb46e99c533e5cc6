// Order-preserving data-parallel loops over the worker pool. Every form runs
// its item function exactly once per item, on the workers (or on the calling
// thread for a loop of at most one item), and places each item's output at
// the item's position. Item functions are called concurrently through a const
// reference: they must not share mutable state.
//
// grain is the smallest number of items one thread takes at a time; choose
// it with grain_for_item_cost() so that a sub-range carries enough work to
// pay for its scheduling. 1 suits anything as costly as a point operation.
//
// Each form has an overload that takes the pool explicitly (tests,
// benchmarks) and one that uses the process-wide pool.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <ranges>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "panic/panic.h"
#include "worker_pool/pool.h"

namespace kestrova::worker_pool {

// Work a sub-range should carry so that queueing and waking a thread (a few
// microseconds at worst) stays a small share of it.
inline constexpr std::chrono::nanoseconds kSubrangeWork{50'000};

constexpr std::size_t grain_for_item_cost(std::chrono::nanoseconds per_item) {
    if (per_item.count() <= 0) return std::size_t(kSubrangeWork.count());
    std::size_t g = std::size_t(kSubrangeWork.count() / per_item.count());
    return g == 0 ? 1 : g;
}

// Chunk i of a byte list cut into pieces of c bytes: bytes c·i .. min(c·(i + 1), L) − 1;
// only the last chunk can be shorter.
inline std::size_t chunk_count(std::size_t length, std::size_t c) {
    if (c == 0) panic("chunk size must not be zero");
    return length / c + (length % c != 0 ? 1 : 0);
}

inline std::span<const std::uint8_t> chunk_at(std::span<const std::uint8_t> in, std::size_t c, std::size_t i) {
    std::size_t begin = c * i;
    return in.subspan(begin, std::min(c, in.size() - begin));
}

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
template <std::size_t K>
struct FixedBytes<std::uint8_t[K]> {
    static constexpr bool value = true;
    static constexpr std::size_t size = K;
};
template <class E, std::size_t K>
    requires(K != std::dynamic_extent && std::is_same_v<std::remove_cv_t<E>, std::uint8_t>)
struct FixedBytes<std::span<E, K>> {
    static constexpr bool value = true;
    static constexpr std::size_t size = K;
};

template <class R>
concept FixedByteOutput = FixedBytes<std::remove_cvref_t<R>>::value;

template <class R>
concept ByteOutput = std::ranges::contiguous_range<R> && std::ranges::sized_range<R> &&
                     std::is_same_v<std::remove_cv_t<std::ranges::range_value_t<R>>, std::uint8_t>;

inline std::size_t checked_product(std::size_t a, std::size_t b) {
    if (b != 0 && a > std::numeric_limits<std::size_t>::max() / b) panic("capacity overflow");
    return a * b;
}

// Concatenates item(i) for i in [0, n). Fixed-size outputs go straight into
// one buffer sized up front; others are kept per item and joined at the end.
template <class G>
std::vector<std::uint8_t> concatenate(Pool& pool, std::size_t n, std::size_t grain, const G& item) {
    using R = std::invoke_result_t<const G&, std::size_t>;
    if constexpr (FixedByteOutput<R>) {
        constexpr std::size_t k = FixedBytes<std::remove_cvref_t<R>>::size;
        std::vector<std::uint8_t> out(checked_product(n, k));
        pool.run(n, grain, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                auto&& bytes = item(i);
                if constexpr (k != 0) std::memcpy(out.data() + i * k, std::ranges::data(bytes), k);
            }
        });
        return out;
    } else {
        static_assert(ByteOutput<std::remove_cvref_t<R>>,
                      "an item must return bytes: std::array<uint8_t, K>, a fixed span, or a byte vector");
        std::vector<std::vector<std::uint8_t>> parts(n);
        pool.run(n, grain, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                if constexpr (std::is_same_v<R, std::vector<std::uint8_t>>) {
                    parts[i] = item(i);
                } else {
                    auto&& bytes = item(i);
                    parts[i].assign(std::ranges::begin(bytes), std::ranges::end(bytes));
                }
            }
        });
        std::size_t total = 0;
        for (const auto& p : parts) total += p.size();
        std::vector<std::uint8_t> out;
        out.reserve(total);
        for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
        return out;
    }
}

// result[i] = item(i) for i in [0, n).
template <class G>
auto collect(Pool& pool, std::size_t n, std::size_t grain, const G& item) {
    using R = std::remove_cvref_t<std::invoke_result_t<const G&, std::size_t>>;
    if constexpr (std::is_same_v<R, bool>) {
        // std::vector<bool> packs bits: neighbouring items would race on one word.
        std::vector<unsigned char> flags(n);
        pool.run(n, grain, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) flags[i] = item(i) ? 1 : 0;
        });
        return std::vector<bool>(flags.begin(), flags.end());
    } else if constexpr (std::is_default_constructible_v<R> && std::is_move_assignable_v<R>) {
        std::vector<R> out(n);
        pool.run(n, grain, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) out[i] = item(i);
        });
        return out;
    } else {
        std::vector<std::optional<R>> slots(n);
        pool.run(n, grain, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) slots[i].emplace(item(i));
        });
        std::vector<R> out;
        out.reserve(n);
        for (auto& s : slots) out.push_back(std::move(*s));
        return out;
    }
}

}  // namespace detail

// result[i] = fn(in[i]).
template <class T, class F>
auto map_items(Pool& pool, const std::vector<T>& in, const F& fn, std::size_t grain = 1) {
    return detail::collect(pool, in.size(), grain, [&](std::size_t i) { return std::invoke(fn, in[i]); });
}
template <class T, class F>
auto map_items(const std::vector<T>& in, const F& fn, std::size_t grain = 1) {
    return map_items(global_pool(), in, fn, grain);
}

// Chunk i is bytes c*i .. min(c*(i+1), L)-1; the result is fn(chunk 0) ++
// fn(chunk 1) ++ ... . fn returns std::array<uint8_t, K> (written in place)
// or a byte vector.
template <class F>
std::vector<std::uint8_t> map_chunks(Pool& pool, std::span<const std::uint8_t> in, std::size_t c, const F& fn,
                                     std::size_t grain = 1) {
    std::size_t n = chunk_count(in.size(), c);
    return detail::concatenate(pool, n, grain, [&](std::size_t i) { return std::invoke(fn, chunk_at(in, c, i)); });
}
template <class F>
std::vector<std::uint8_t> map_chunks(std::span<const std::uint8_t> in, std::size_t c, const F& fn,
                                     std::size_t grain = 1) {
    return map_chunks(global_pool(), in, c, fn, grain);
}

// result[i] = fn(chunk i of a, chunk i of b) for i below the smaller chunk
// count; the longer input's extra chunks are not looked at.
template <class F>
auto map_zipped_chunks(Pool& pool, std::span<const std::uint8_t> a, std::span<const std::uint8_t> b, std::size_t c,
                       const F& fn, std::size_t grain = 1) {
    std::size_t n = std::min(chunk_count(a.size(), c), chunk_count(b.size(), c));
    return detail::collect(pool, n, grain, [&](std::size_t i) {
        return std::invoke(fn, chunk_at(a, c, i), chunk_at(b, c, i));
    });
}
template <class F>
auto map_zipped_chunks(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b, std::size_t c, const F& fn,
                       std::size_t grain = 1) {
    return map_zipped_chunks(global_pool(), a, b, c, fn, grain);
}

// extract(records[0]) ++ extract(records[1]) ++ ... . extract may return a
// reference to a fixed-size field (std::array<uint8_t, K>), which is copied
// straight into the result.
template <class Rec, class F>
std::vector<std::uint8_t> gather(Pool& pool, const std::vector<Rec>& records, const F& extract,
                                 std::size_t grain = 1) {
    return detail::concatenate(pool, records.size(), grain,
                               [&](std::size_t i) -> decltype(auto) { return std::invoke(extract, records[i]); });
}
template <class Rec, class F>
std::vector<std::uint8_t> gather(const std::vector<Rec>& records, const F& extract, std::size_t grain = 1) {
    return gather(global_pool(), records, extract, grain);
}

}  // namespace kestrova::worker_pool
