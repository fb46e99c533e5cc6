#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#include <vector>

#include "named_case.h"
#include "random/chacha.h"
#include "random/generator.h"

using kestrova::random::chacha_block;
using kestrova::random::chacha_init_state;
using kestrova::random::Generator;

namespace {

constexpr uint8_t kKey[32] = {7, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,
                              16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31};

// Word i of the 12-round keystream for kKey, counting from block 0.
uint32_t stream_word(uint64_t i, const uint8_t* key = kKey) {
    uint32_t state[16], out[16];
    chacha_init_state(state, key, i / 16, 0);
    chacha_block(state, out, 12);
    return out[i % 16];
}

std::vector<uint8_t> stream_bytes(uint64_t first_word, size_t n) {
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i) out[i] = uint8_t(stream_word(first_word + i / 4) >> (8 * (i % 4)));
    return out;
}

// Stream words i and i + 1 as one 64-bit draw, low word first.
uint64_t stream_u64(uint64_t i) { return uint64_t(stream_word(i)) | uint64_t(stream_word(i + 1)) << 32; }

TEST(Generator, PartialWordIsDiscarded) {
    Generator g(kKey);
    uint8_t a[3], b[4];
    g.fill_bytes(a, 3);
    g.fill_bytes(b, 4);
    auto w0 = stream_bytes(0, 3), w1 = stream_bytes(1, 4);
    EXPECT_EQ(std::vector<uint8_t>(a, a + 3), w0);
    EXPECT_EQ(std::vector<uint8_t>(b, b + 4), w1);
    EXPECT_EQ(g.next_u32(), stream_word(2));
}

TEST(Generator, DrawsInterleaveInOneStream) {
    Generator g(kKey);
    EXPECT_EQ(g.next_u32(), stream_word(0));
    EXPECT_EQ(g.next_u64(), stream_u64(1));
    uint8_t b[5];
    g.fill_bytes(b, 5);
    EXPECT_EQ(std::vector<uint8_t>(b, b + 5), stream_bytes(3, 5));
    EXPECT_EQ(g.next_u32(), stream_word(5));
}

// A 64-bit draw where the buffer holds one word, or none: it takes the next two
// words of the stream, and the draw after it the word after those.
struct U64Case : kestrova::test::NamedCase {
    void (*advance)(Generator&);
    uint64_t next_word;
};

class NextU64 : public ::testing::TestWithParam<U64Case> {};

TEST_P(NextU64, TakesTheNextTwoWords) {
    Generator g(kKey);
    GetParam().advance(g);
    EXPECT_EQ(g.next_u64(), stream_u64(GetParam().next_word));
    EXPECT_EQ(g.next_u32(), stream_word(GetParam().next_word + 2));
}

INSTANTIATE_TEST_SUITE_P(
    Buffers, NextU64,
    ::testing::Values(U64Case{"spans_two_buffers", [](Generator& g) { for (int i = 0; i < 63; ++i) g.next_u32(); }, 63},
                      U64Case{"empty_buffer_refills",
                              [](Generator& g) {
                                  std::vector<uint8_t> sink(256);
                                  g.fill_bytes(sink.data(), sink.size());
                              },
                              64}),
    kestrova::test::case_name);

TEST(Generator, LongDrawCrossesBuffers) {
    Generator g(kKey);
    std::vector<uint8_t> got(1000);
    g.fill_bytes(got.data(), got.size());
    EXPECT_EQ(got, stream_bytes(0, 1000));
}

TEST(Generator, RekeysAfterSixtyFourKibibytes) {
    // Make sure the fork counter cannot be what triggers the re-key here.
    kestrova::random::thread_generator();
    ASSERT_EQ(kestrova::random::fork_generation(), 0u);
    Generator g(kKey);
    std::vector<uint8_t> got(65536);
    g.fill_bytes(got.data(), got.size());
    // The whole 64 KiB comes from the first key; the next draw from a new one.
    EXPECT_EQ(got, stream_bytes(0, 65536));
    EXPECT_EQ(std::memcmp(g.key(), kKey, 32), 0);
    uint32_t next = g.next_u32();
    EXPECT_NE(std::memcmp(g.key(), kKey, 32), 0);
    EXPECT_EQ(next, stream_word(0, g.key()));
}

TEST(Generator, ThreadGeneratorsAreIndependent) {
    uint8_t a[32], b[32];
    kestrova::random::thread_generator().fill_bytes(a, 32);
    std::thread([&] { kestrova::random::thread_generator().fill_bytes(b, 32); }).join();
    EXPECT_NE(std::memcmp(a, b, 32), 0);
}

// Forks a child that exits at once: the handlers bump the counter here too.
void fork_and_reap() {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(0);
    int status = 0;
    waitpid(pid, &status, 0);
}

TEST(GeneratorFork, UnreadWordsAreDroppedAndTheNextDrawUsesANewKey) {
    kestrova::random::thread_generator();  // registers the fork handlers
    auto drawn_after_fork = [](auto draw) {
        Generator g(kKey);
        g.next_u32();  // 63 words stay unread
        fork_and_reap();
        auto value = draw(g);
        EXPECT_NE(std::memcmp(g.key(), kKey, 32), 0);
        return std::make_pair(value, std::vector<uint8_t>(g.key(), g.key() + 32));
    };
    auto [w32, k1] = drawn_after_fork([](Generator& g) { return uint64_t(g.next_u32()); });
    EXPECT_EQ(w32, stream_word(0, k1.data()));
    auto [w64, k2] = drawn_after_fork([](Generator& g) { return g.next_u64(); });
    EXPECT_EQ(w64, uint64_t(stream_word(0, k2.data())) | uint64_t(stream_word(1, k2.data())) << 32);
    auto [b, k3] = drawn_after_fork([](Generator& g) {
        uint8_t out[8];
        g.fill_bytes(out, 8);
        return uint64_t(out[0]) | uint64_t(out[7]) << 56;
    });
    EXPECT_EQ(b, uint64_t(uint8_t(stream_word(0, k3.data()))) | uint64_t(stream_word(1, k3.data()) >> 24) << 56);
}

// Runs last in its own process-wide sense: the fork bumps the counter for everyone.
TEST(GeneratorFork, ParentAndChildStreamsDiffer) {
    Generator& g = kestrova::random::thread_generator();
    // Empty the buffer so both sides refill after the fork.
    while (g.read_position() != Generator::kBufferWords) g.next_u32();
    const uint64_t before = kestrova::random::fork_generation();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        uint8_t out[32];
        kestrova::random::thread_generator().fill_bytes(out, 32);
        ssize_t w = write(fds[1], out, 32);
        _exit(w == 32 ? 0 : 1);
    }
    uint8_t parent[32], child[32];
    g.fill_bytes(parent, 32);
    size_t got = 0;
    while (got < 32) {
        ssize_t r = read(fds[0], child + got, 32 - got);
        ASSERT_GT(r, 0);
        got += size_t(r);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    close(fds[0]);
    close(fds[1]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_GT(kestrova::random::fork_generation(), before);
    EXPECT_NE(std::memcmp(parent, child, 32), 0);
}

}  // namespace
