#include "random/generator.h"

#include <pthread.h>

#include <atomic>
#include <bit>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "ct/wipe.h"
#include "panic/panic.h"
#include "random/chacha.h"
#include "random/os_random.h"

namespace kestrova::random {
namespace {

std::atomic<uint64_t> fork_counter{0};
std::once_flag fork_handlers_once;

void on_fork() { fork_counter.fetch_add(1); }

void register_fork_handlers() {
    std::call_once(fork_handlers_once, [] {
        int rc = pthread_atfork(on_fork, on_fork, on_fork);
        if (rc != 0) panic("pthread_atfork failed with return code " + std::to_string(rc));
    });
}

std::string describe_os_error(uint32_t code) {
    if (code == 0x80000001u) return "OS Error: internal error 0x80000001";
    return "OS Error: " + std::to_string(code) + " (" + std::strerror(int(code)) + ")";
}

}  // namespace

Generator::Generator(const uint8_t key[32]) : fork_generation_seen_(fork_counter.load()) {
    std::memcpy(key_, key, 32);
}

Generator::~Generator() {
    ct::wipe(key_, sizeof key_);
    ct::wipe(buffer_, sizeof buffer_);
}

inline void Generator::rekey_if_forked() {
    const uint64_t g = fork_counter.load();
    if (int64_t(fork_generation_seen_ - g) < 0) [[unlikely]]
        rekey_after_fork(g);
}

// Parent and child hold the same key, counter and buffer: whatever is left
// would be served twice, so it is dropped, and without a fresh key there is
// no safe output at all.
void Generator::rekey_after_fork(uint64_t generation) {
    uint8_t fresh[32];
    if (uint32_t err = os_random_32(fresh))
        panic("could not re-key the random generator after fork: " + describe_os_error(err));
    std::memcpy(key_, fresh, 32);
    ct::wipe(fresh, sizeof fresh);
    counter_ = 0;
    position_ = kBufferWords;
    fork_generation_seen_ = generation;
    bytes_until_reseed_ = kReseedThreshold;
}

void Generator::refill() {
    if (bytes_until_reseed_ <= 0) {
        uint8_t fresh[32];
        if (os_random_32(fresh) == 0) {  // on failure keep the old key and try again later
            std::memcpy(key_, fresh, 32);
            counter_ = 0;
        }
        ct::wipe(fresh, sizeof fresh);
        bytes_until_reseed_ = kReseedThreshold - 256;
    } else {
        bytes_until_reseed_ -= 256;
    }
    chacha_blocks4(key_, counter_, buffer_, kRounds);
    counter_ += 4;
}

void Generator::fill_bytes(uint8_t* out, size_t n) {
    rekey_if_forked();
    while (n > 0) {
        if (position_ == kBufferWords) {
            refill();
            position_ = 0;
        }
        size_t available = 4 * size_t(kBufferWords - position_);
        size_t k = n < available ? n : available;
        // The buffer words are little-endian byte strings on every host we build for.
        static_assert(std::endian::native == std::endian::little);
        std::memcpy(out, reinterpret_cast<const uint8_t*>(buffer_ + position_), k);
        position_ += int((k + 3) / 4);  // a partly used word is discarded
        out += k;
        n -= k;
    }
}

uint32_t Generator::next_u32() {
    rekey_if_forked();
    if (position_ == kBufferWords) {
        refill();
        position_ = 0;
    }
    return buffer_[position_++];
}

uint64_t Generator::next_u64() {
    rekey_if_forked();
    if (position_ < kBufferWords - 1) {
        uint64_t v = uint64_t(buffer_[position_]) | uint64_t(buffer_[position_ + 1]) << 32;
        position_ += 2;
        return v;
    }
    if (position_ == kBufferWords - 1) {
        uint64_t low = buffer_[kBufferWords - 1];
        refill();
        position_ = 1;
        return low | uint64_t(buffer_[0]) << 32;
    }
    refill();
    position_ = 2;
    return uint64_t(buffer_[0]) | uint64_t(buffer_[1]) << 32;
}

Generator& thread_generator() {
    // The thread_local unique_ptr's destructor frees the generator at thread exit.
    thread_local std::unique_ptr<Generator> slot;
    if (!slot) {
        uint8_t key[32];
        if (uint32_t err = os_random_32(key)) panic("could not initialize thread_rng: " + describe_os_error(err));
        register_fork_handlers();
        slot = std::make_unique<Generator>(key);
        ct::wipe(key, sizeof key);
    }
    return *slot;
}

uint64_t fork_generation() { return fork_counter.load(); }

}  // namespace kestrova::random
