// A bank's store built from key bytes fed in batches and written straight to
// a file. Only the key bytes are kept while rows arrive; the row values are
// encrypted after the solve, in the order the cells are filled, so they are
// never all held at once. Peak memory is about
//   max(K + 85·n, 176·n) bytes for n rows of K key bytes in all,
// against a store of 153.6·n + 2072 bytes.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "engine/key_column.h"
#include "group/point.h"
#include "okvs/hashable.h"

namespace kestrova::engine {

enum class Phase { hashed, solved, encrypted };

// Called on the thread that runs write(), between pieces of work.
class Progress {
public:
    virtual ~Progress() = default;
    virtual void report(Phase phase, uint64_t done, uint64_t total) = 0;
};

// The build cannot get the memory it needs; the message says how much.
class NeedsMemory : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct BuildResult {
    uint64_t rows;        // stored
    uint64_t duplicates;  // rows dropped for key bytes equal to an earlier row's
    uint64_t bytes;       // written
    uint64_t attempts;    // seeds tried
    std::array<uint8_t, 32> digest;  // SHA-256 of the bytes written
};

// The keys are the encoder's key source; they are released as soon as the
// encoder has solved, before the store's cells are allocated.
class StoreBuilder : private okvs::KeySource {
public:
    explicit StoreBuilder(std::span<const uint8_t> public_key, uint64_t expected_rows = 0);
    StoreBuilder(const StoreBuilder&) = delete;
    StoreBuilder& operator=(const StoreBuilder&) = delete;

    void add(const KeyColumn& keys);
    uint64_t rows() const { return where_.size(); }

    // Once: drops repeated keys, solves, encrypts and writes the byte form to
    // fd, hashing it on the way.
    BuildResult write(int fd, Progress& progress);

    static uint64_t peak_bytes(uint64_t rows, uint64_t key_bytes);

private:
    std::size_t size() const override { return where_.size(); }
    std::string_view key(size_t i) const override;
    void keys_done() override;
    uint64_t drop_duplicates();
    uint64_t held_bytes() const;
    void release_keys();

    group::Point pk_;
    std::vector<std::unique_ptr<uint8_t[]>> blocks_;
    size_t block_used_ = 0;
    size_t block_size_ = 0;
    // (block << 32) | offset of each key's 4-byte length and bytes.
    std::vector<uint64_t> where_;
    uint64_t key_bytes_ = 0;
    bool written_ = false;
    std::function<void()> on_keys_done_;
};

}  // namespace kestrova::engine
