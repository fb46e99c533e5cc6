// Keys of the store: the bytes of a row and the cells they reach under a store's seeds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::okvs {

using Row = std::vector<std::string>;

// The row's strings (UTF-8) laid end to end, without separators.
std::string key_bytes(const Row& row);

// XXH3 64-bit with the default secret under the given seed.
uint64_t key_hash(std::string_view key, uint64_t seed);

struct KeyPositions {
    uint64_t p1;     // first sparse cell
    uint64_t p2;     // second sparse cell (may equal p1)
    uint64_t dense;  // whole third hash; its low 32 bits select dense cells
};

// Panics for m = 0: there is no cell to reach.
KeyPositions key_positions(std::string_view key, uint64_t s0, uint64_t s1, uint64_t s2, uint64_t m);

// The keys of an encoding wherever their owner keeps them. key() is called
// from worker threads at once.
class KeySource {
public:
    virtual ~KeySource() = default;
    virtual std::size_t size() const = 0;
    virtual std::string_view key(std::size_t i) const = 0;
    // Called once an attempt is accepted: no key is read after it, so their
    // memory can go before the cells are allocated.
    virtual void keys_done() {}
};

// Key bytes held as strings.
class KeyStrings final : public KeySource {
public:
    explicit KeyStrings(std::span<const std::string> keys) : keys_(keys) {}
    std::size_t size() const override { return keys_.size(); }
    std::string_view key(std::size_t i) const override { return keys_[i]; }

private:
    std::span<const std::string> keys_;
};

}  // namespace kestrova::okvs
