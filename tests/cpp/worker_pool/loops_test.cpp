#include "worker_pool/loops.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "panic/panic.h"

namespace kestrova::worker_pool {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes pattern(std::size_t n, unsigned seed = 1) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = std::uint8_t(i * 131 + seed * 7 + (i >> 8));
    return b;
}

class Forms : public ::testing::TestWithParam<std::size_t> {
protected:
    static Pool& pool() {
        static std::mutex m;
        static std::array<std::unique_ptr<Pool>, 9> pools;
        std::lock_guard lock(m);
        auto& p = pools[GetParam()];
        if (!p) p = std::make_unique<Pool>(GetParam());
        return *p;
    }
};

TEST_P(Forms, MapItemsKeepsInputOrderAndRunsEachOnce) {
    for (std::size_t n : {0, 1, 2, 1000}) {
        std::vector<std::string> in(n);
        for (std::size_t i = 0; i < n; ++i) in[i] = std::to_string(i);
        std::vector<std::atomic<int>> runs(n);
        auto out = map_items(pool(), in, [&](const std::string& s) {
            runs[std::stoul(s)].fetch_add(1);
            return s + "!";
        });
        ASSERT_EQ(out.size(), n);
        for (std::size_t i = 0; i < n; ++i) {
            EXPECT_EQ(out[i], in[i] + "!");
            EXPECT_EQ(runs[i].load(), 1);
        }
    }
}

TEST_P(Forms, MapItemsWithoutDefaultConstructorAndBool) {
    struct Boxed {
        explicit Boxed(int v) : value(v) {}
        int value;
    };
    std::vector<int> in(777);
    for (int i = 0; i < 777; ++i) in[std::size_t(i)] = i;
    auto boxed = map_items(pool(), in, [](int v) { return Boxed(v * 3); });
    auto odd = map_items(pool(), in, [](int v) { return v % 2 == 1; });
    ASSERT_EQ(boxed.size(), in.size());
    ASSERT_EQ(odd.size(), in.size());
    for (std::size_t i = 0; i < in.size(); ++i) {
        EXPECT_EQ(boxed[i].value, int(i) * 3);
        EXPECT_EQ(odd[i], i % 2 == 1);
    }
}

// Fixed-size outputs (written in place) and variable-size outputs (joined)
// against a plain sequential loop.
TEST_P(Forms, MapChunksConcatenatesInChunkOrder) {
    for (std::size_t length : {0, 1, 31, 32, 33, 1000, 4096}) {
        Bytes in = pattern(length);
        auto fixed = map_chunks(pool(), in, 32, [](std::span<const std::uint8_t> c) {
            std::array<std::uint8_t, 3> r{std::uint8_t(c.size()), c.front(), c.back()};
            return r;
        });
        auto variable = map_chunks(pool(), in, 32, [](std::span<const std::uint8_t> c) {
            return Bytes(c.begin(), c.begin() + long(std::min<std::size_t>(c[0] % 5, c.size())));  // 0..4 bytes
        });
        Bytes want_fixed, want_variable;
        for (std::size_t at = 0; at < length; at += 32) {
            std::size_t size = std::min<std::size_t>(32, length - at);
            want_fixed.insert(want_fixed.end(), {std::uint8_t(size), in[at], in[at + size - 1]});
            want_variable.insert(want_variable.end(), in.begin() + long(at),
                                 in.begin() + long(at + std::min<std::size_t>(in[at] % 5, size)));
        }
        EXPECT_EQ(fixed, want_fixed) << "length " << length;
        EXPECT_EQ(variable, want_variable) << "length " << length;
    }
}

TEST_P(Forms, MapChunksShortLastChunk) {
    Bytes in = pattern(130);
    std::mutex m;
    std::vector<std::pair<const std::uint8_t*, std::size_t>> chunks;
    const std::uint8_t* base = in.data();
    auto out = map_chunks(pool(), in, 128, [&](std::span<const std::uint8_t> c) {
        std::lock_guard lock(m);
        chunks.emplace_back(c.data(), c.size());
        return std::array<std::uint8_t, 1>{c.back()};
    });
    std::sort(chunks.begin(), chunks.end());
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[0], std::make_pair(base, std::size_t(128)));
    EXPECT_EQ(chunks[1], std::make_pair(base + 128, std::size_t(2)));
    EXPECT_EQ(out, (Bytes{in[127], in[129]}));
}

TEST_P(Forms, ZippedChunksStopAtTheShorterInput) {
    // 3 chunks (the last of 16 bytes) against 5: the extra 2 are never passed on.
    Bytes a = pattern(80, 1), b = pattern(160, 2);
    std::atomic<int> calls{0};
    std::atomic<bool> beyond{false};
    auto out = map_zipped_chunks(pool(), a, b, 32, [&](std::span<const std::uint8_t> x, std::span<const std::uint8_t> y) {
        calls.fetch_add(1);
        if (y.data() + y.size() > b.data() + 96) beyond = true;
        return std::make_pair(x.size(), std::size_t(y[0]));
    });
    EXPECT_EQ(calls.load(), 3);
    EXPECT_FALSE(beyond.load());
    ASSERT_EQ(out.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(out[i].first, i < 2 ? 32u : 16u);
        EXPECT_EQ(out[i].second, b[32 * i]);
    }
    EXPECT_TRUE(map_zipped_chunks(pool(), Bytes{}, b, 32, [](auto, auto) { return 0; }).empty());
}

TEST_P(Forms, GatherFieldsInRecordOrder) {
    struct Record {
        std::array<std::uint8_t, 4> field;
        std::string label;
    };
    std::vector<Record> records(1001);
    for (std::size_t i = 0; i < records.size(); ++i)
        records[i] = Record{{std::uint8_t(i), std::uint8_t(i >> 8), 7, 9}, std::string(i % 3, 'x')};
    auto fields = gather(pool(), records, [](const Record& r) -> const std::array<std::uint8_t, 4>& { return r.field; });
    auto labels = gather(pool(), records, [](const Record& r) { return Bytes(r.label.begin(), r.label.end()); });
    Bytes want_fields, want_labels;
    for (const auto& r : records) {
        want_fields.insert(want_fields.end(), r.field.begin(), r.field.end());
        want_labels.insert(want_labels.end(), r.label.begin(), r.label.end());
    }
    EXPECT_EQ(fields, want_fields);
    EXPECT_EQ(labels, want_labels);
    EXPECT_TRUE(gather(pool(), std::vector<Record>{}, [](const Record& r) { return r.field; }).empty());
}

TEST_P(Forms, FailingChunkReportsTheLowestIndex) {
    Bytes in = pattern(32 * 300);
    for (std::size_t grain : {1, 16}) {
        try {
            map_chunks(pool(), in, 32, [&](std::span<const std::uint8_t> c) {
                std::size_t i = std::size_t(c.data() - in.data()) / 32;
                if (i == 33 || i == 250) panic("chunk " + std::to_string(i));
                return std::array<std::uint8_t, 1>{0};
            }, grain);
            FAIL() << "no exception";
        } catch (const Panic& p) {
            EXPECT_EQ(p.message(), "chunk 33");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Threads, Forms, ::testing::Values(1, 2, 8));

TEST(ProcessPool, FormsUseTheProcessPool) {
    Bytes in = pattern(96);
    auto out = map_chunks(in, 32, [](std::span<const std::uint8_t>) {
        return std::array<std::uint8_t, 1>{std::uint8_t(on_worker_thread())};
    });
    EXPECT_EQ(out, (Bytes{1, 1, 1}));
}

}  // namespace
}  // namespace kestrova::worker_pool
