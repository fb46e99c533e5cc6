#include "worker_pool/gather.h"

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

struct Record {
    std::array<std::uint8_t, 4> field;
};

std::vector<Record> records(std::size_t n) {
    std::vector<Record> r(n);
    for (std::size_t i = 0; i < n; ++i) r[i] = Record{{std::uint8_t(i), std::uint8_t(i >> 8), 7, 9}};
    return r;
}

class Gather : public ::testing::TestWithParam<std::size_t> {
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

TEST_P(Gather, FieldsInRecordOrderEachOnce) {
    for (std::size_t n : {0, 1, 2, 1001}) {
        const std::vector<Record> in = records(n);
        std::vector<std::atomic<int>> runs(n);
        const Bytes got = gather(pool(), in, [&](const Record& r) -> const std::array<std::uint8_t, 4>& {
            runs[std::size_t(&r - in.data())].fetch_add(1);
            return r.field;
        });
        Bytes want;
        for (const auto& r : in) want.insert(want.end(), r.field.begin(), r.field.end());
        EXPECT_EQ(got, want) << n;
        for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(runs[i].load(), 1) << i;
    }
}

TEST_P(Gather, FailingRecordReportsTheLowestIndex) {
    const std::vector<Record> in = records(300);
    for (std::size_t grain : {1, 16}) {
        try {
            gather(pool(), in, [&](const Record& r) -> const std::array<std::uint8_t, 4>& {
                const std::size_t i = std::size_t(&r - in.data());
                if (i == 33 || i == 250) panic("record " + std::to_string(i));
                return r.field;
            }, grain);
            FAIL() << "no exception";
        } catch (const Panic& p) {
            EXPECT_EQ(p.message(), "record 33");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Threads, Gather, ::testing::Values(1, 2, 8));

TEST(ProcessPool, GatherUsesTheProcessPool) {
    const std::vector<Record> in = records(3);
    const Bytes out = gather(in, [](const Record&) {
        return std::array<std::uint8_t, 1>{std::uint8_t(on_worker_thread())};
    });
    EXPECT_EQ(out, (Bytes{1, 1, 1}));
}

}  // namespace
}  // namespace kestrova::worker_pool
