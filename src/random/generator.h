// The per-thread random generator: ChaCha12 keyed from the operating system,
// re-keyed after 64 KiB of output and after every fork.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrova::random {

class Generator {
public:
    static constexpr int kRounds = 12;
    static constexpr int kBufferWords = 64;  // four blocks
    static constexpr int64_t kReseedThreshold = 65536;

    // Keyed explicitly; thread_generator() keys from the operating system.
    // A key given now counts as fresh for the current fork generation.
    explicit Generator(const uint8_t key[32]);
    // Wipes the key and the unread output (thread exit ends the thread's generator).
    ~Generator();
    Generator(const Generator&) = delete;
    Generator& operator=(const Generator&) = delete;

    void fill_bytes(uint8_t* out, size_t n);
    uint32_t next_u32();
    uint64_t next_u64();

    // For tests: the state that decides the next refill.
    const uint8_t* key() const { return key_; }
    int read_position() const { return position_; }

private:
    // Every draw starts here: after a fork, unread output is never served.
    void rekey_if_forked();
    void rekey_after_fork(uint64_t generation);
    void refill();

    uint8_t key_[32];
    uint64_t counter_ = 0;
    uint32_t buffer_[kBufferWords];
    int position_ = kBufferWords;
    int64_t bytes_until_reseed_ = kReseedThreshold;
    uint64_t fork_generation_seen_ = 0;
};

// The calling thread's generator, created (and keyed) on first use.
Generator& thread_generator();

// Process-wide count of fork events, bumped by the pthread_atfork handlers.
uint64_t fork_generation();

}  // namespace kestrova::random
