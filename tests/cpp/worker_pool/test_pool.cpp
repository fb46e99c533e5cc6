#include "worker_pool/pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <mutex>
#include <numeric>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "fork_child.h"
#include "panic/panic.h"

namespace kestrova::worker_pool {
namespace {

struct ItemFailure : std::runtime_error {
    explicit ItemFailure(std::size_t i) : std::runtime_error("item " + std::to_string(i)), index(i) {}
    std::size_t index;
};

// Threads of the pool under test, kept alive across the tests of a suite.
Pool& pool_with(std::size_t threads) {
    static std::mutex m;
    static std::vector<std::pair<std::size_t, std::unique_ptr<Pool>>> pools;
    std::lock_guard lock(m);
    for (auto& [n, p] : pools)
        if (n == threads) return *p;
    pools.emplace_back(threads, std::make_unique<Pool>(threads));
    return *pools.back().second;
}

class LowestFailure : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {};

TEST_P(LowestFailure, ReportsItemTenOfTenAndSevenHundred) {
    auto [threads, grain] = GetParam();
    Pool& pool = pool_with(threads);
    constexpr std::size_t n = 1000;
    std::vector<std::atomic<int>> runs(n);
    for (int round = 0; round < 5; ++round) {  // several schedules per setting
        for (auto& r : runs) r = 0;
        try {
            pool.parallel_for(n, grain, [&](std::size_t begin, std::size_t end) {
                for (std::size_t i = begin; i < end; ++i) {
                    runs[i].fetch_add(1);
                    if (i == 10 || i == 700) throw ItemFailure(i);
                }
            });
            FAIL() << "loop did not rethrow";
        } catch (const ItemFailure& e) {
            EXPECT_EQ(e.index, 10u);
        }
        for (std::size_t i = 0; i < n; ++i) ASSERT_LE(runs[i].load(), 1) << "item " << i << " ran twice";
        for (std::size_t i = 0; i <= 10; ++i) EXPECT_EQ(runs[i].load(), 1) << "item " << i;
        // Sub-ranges without a failure run to their end.
        if (grain <= 64) {
            EXPECT_EQ(runs[n - 1].load(), 1);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(ThreadsAndGrains, LowestFailure,
                         ::testing::Combine(::testing::Values(1, 2, 8), ::testing::Values(1, 3, 64, 1000)));

TEST(Failure, PanicTypeAndMessageReachTheCaller) {
    Pool& pool = pool_with(2);
    try {
        pool.parallel_for(100, 1, [](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i)
                if (i >= 40) panic("called `Option::unwrap()` on a `None` value");
        });
        FAIL() << "loop did not rethrow";
    } catch (const Panic& p) {
        EXPECT_EQ(p.message(), "called `Option::unwrap()` on a `None` value");
    }
    // The pool keeps working after a failed loop.
    std::atomic<std::size_t> sum{0};
    pool.parallel_for(100, 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) sum += i;
    });
    EXPECT_EQ(sum.load(), 4950u);
}

class Division : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t, std::size_t>> {};

TEST_P(Division, ContiguousCoveringSubrangesOfWholeGrains) {
    auto [threads, n, grain] = GetParam();
    std::mutex m;
    std::vector<std::pair<std::size_t, std::size_t>> ranges;
    pool_with(threads).parallel_for(n, grain, [&](std::size_t begin, std::size_t end) {
        std::lock_guard lock(m);
        ranges.emplace_back(begin, end);
    });
    std::sort(ranges.begin(), ranges.end());
    std::size_t next = 0;
    for (auto [begin, end] : ranges) {
        EXPECT_EQ(begin, next);
        EXPECT_GE(end - begin, std::min(grain, n)) << begin << ".." << end;
        // Whole grains but for the last: a batch kernel's block is a grain, and a range cut
        // inside one runs a block of a few items at the price of a full one.
        EXPECT_EQ(begin % grain, 0u) << begin << ".." << end;
        if (end != n) {
            EXPECT_EQ(end % grain, 0u) << begin << ".." << end;
        }
        next = end;
    }
    EXPECT_EQ(next, n);
}

INSTANTIATE_TEST_SUITE_P(Sizes, Division,
                         ::testing::Combine(::testing::Values(1, 2, 8), ::testing::Values(2, 3, 17, 1000, 4099),
                                            ::testing::Values(1, 5, 64, 5000)));

TEST(Placement, AtMostOneItemRunsOnTheCaller) {
    Pool& pool = pool_with(2);
    const auto caller = std::this_thread::get_id();
    for (std::size_t n : {0, 1, 2, 50}) {
        std::mutex m;
        std::vector<std::thread::id> seen;
        pool.parallel_for(n, 1, [&](std::size_t begin, std::size_t end) {
            std::lock_guard lock(m);
            for (std::size_t i = begin; i < end; ++i) seen.push_back(std::this_thread::get_id());
        });
        ASSERT_EQ(seen.size(), n);
        for (auto id : seen) EXPECT_EQ(id == caller, n <= 1) << "n = " << n;
    }
    EXPECT_FALSE(on_worker_thread());
}

TEST(Placement, WaitingHalvesAreTakenByIdleThreads) {
    // Both items wait for each other: the loop only ends if they run at once.
    Pool& pool = pool_with(2);
    std::atomic<int> arrived{0};
    std::atomic<bool> met{true};
    pool.parallel_for(2, 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            arrived.fetch_add(1);
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (arrived.load() < 2) {
                if (std::chrono::steady_clock::now() > deadline) {
                    met = false;
                    return;
                }
                std::this_thread::yield();
            }
        }
    });
    EXPECT_TRUE(met.load());
}

TEST(Nesting, LoopInsideAWorkerRunsInline) {
    Pool& pool = pool_with(2);
    std::vector<std::size_t> sums(8, 0);
    pool.parallel_for(8, 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            EXPECT_TRUE(on_worker_thread());
            std::atomic<std::size_t> s{0};
            pool.parallel_for(100, 1, [&](std::size_t b, std::size_t e) {
                for (std::size_t j = b; j < e; ++j) s += j * (i + 1);
            });
            sums[i] = s.load();
        }
    });
    for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(sums[i], 4950 * (i + 1));
}

TEST(Concurrency, SeveralCallersShareOnePool) {
    Pool& pool = pool_with(2);
    std::vector<std::thread> callers;
    std::atomic<int> wrong{0};
    for (int c = 0; c < 4; ++c) {
        callers.emplace_back([&, c] {
            for (int round = 0; round < 50; ++round) {
                std::size_t n = 100 + std::size_t(c * 37 + round);
                std::vector<std::size_t> out(n, 0);
                pool.parallel_for(n, 1, [&](std::size_t b, std::size_t e) {
                    for (std::size_t i = b; i < e; ++i) out[i] = i * i;
                });
                for (std::size_t i = 0; i < n; ++i)
                    if (out[i] != i * i) ++wrong;
            }
        });
    }
    for (auto& t : callers) t.join();
    EXPECT_EQ(wrong.load(), 0);
}

struct Interrupted {};
std::atomic<int> g_checks{0}, g_checks_at_throw{0};
std::atomic<bool> g_checked_on_worker{false};
volatile std::sig_atomic_t g_signalled = 0;

// Like an embedding program's: a signal only marks; the next check acts on it.
void throw_once_signalled() {
    g_checked_on_worker = g_checked_on_worker || on_worker_thread();
    ++g_checks;
    if (g_signalled != 0) {
        g_checks_at_throw = g_checks.load();
        throw Interrupted{};
    }
}

TEST(Interrupt, SignalledCheckStopsTheLoopAndThePoolStaysUsable) {
    Pool& pool = pool_with(2);
    g_signalled = 0;
    std::signal(SIGUSR1, [](int) { g_signalled = 1; });
    set_interrupt_check(throw_once_signalled);
    detail::signal_at_piece_for_testing(5, SIGUSR1);
    std::vector<std::atomic<int>> runs(4000);
    EXPECT_THROW(pool.parallel_for(runs.size(), 1,
                                   [&](std::size_t begin, std::size_t end) {
                                       for (std::size_t i = begin; i < end; ++i) runs[i].fetch_add(1);
                                   }),
                 Interrupted);
    std::size_t ran = 0;
    for (auto& r : runs) ran += std::size_t(r.load());
    // The signalled piece waited for the check, so it at least never ran.
    const std::size_t left = detail::items_left_by_last_interrupt_for_testing();
    EXPECT_GT(left, 0u);
    EXPECT_EQ(ran + left, runs.size());
    EXPECT_EQ(g_checks.load(), g_checks_at_throw.load());  // no polls once stopping
    // Loops nested on workers never run the check; the pool still works.
    std::atomic<std::size_t> sum{0};
    pool.parallel_for(100, 1, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) sum += i;
        check_interrupt();
    });
    set_interrupt_check(nullptr);
    std::signal(SIGUSR1, SIG_DFL);
    EXPECT_EQ(sum.load(), 4950u);
    EXPECT_FALSE(g_checked_on_worker.load());
}

TEST(Startup, RefusedThreadIsTheInitializationPanic) {
    detail::fail_worker_start_at_for_testing(2);
    try {
        Pool pool(4);
        FAIL() << "pool started although a thread was refused";
    } catch (const Panic& p) {
        EXPECT_EQ(p.message(), "The global thread pool has not been initialized.");
    }
    Pool after(2);  // the seam fires once
    std::atomic<int> count{0};
    after.parallel_for(10, 1, [&](std::size_t b, std::size_t e) { count += int(e - b); });
    EXPECT_EQ(count.load(), 10);
}

TEST(Startup, ProcessPoolFailureFailsTheCallAndIsRetried) {
    int status = run_in_child([] {
        detail::fail_worker_start_at_for_testing(0);
        try {
            parallel_for(0, 1, [](std::size_t, std::size_t) {});  // an empty loop also creates the pool
            return 1;
        } catch (const Panic& p) {
            if (p.message() != "The global thread pool has not been initialized.") return 2;
        }
        std::atomic<int> count{0};
        parallel_for(10, 1, [&](std::size_t b, std::size_t e) { count += int(e - b); });
        return count.load() == 10 ? 0 : 3;
    });
    EXPECT_EQ(status, 0);
}

std::size_t parallel_sum(std::size_t n) {
    std::vector<std::size_t> out(n);
    parallel_for(n, 1, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) out[i] = i;
    });
    return std::accumulate(out.begin(), out.end(), std::size_t(0));
}

TEST(Fork, ChildRunsLoopsAfterTheParentsPoolExists) {
    ASSERT_EQ(parallel_sum(1000), 499500u);  // the parent's pool and workers exist now
    int status = run_in_child([] {
        if (parallel_sum(1000) != 499500u) return 1;
        // and the child's own children too
        int grandchild = run_in_child([] { return parallel_sum(500) == 124750u ? 0 : 1; }, 10);
        return grandchild == 0 ? 0 : 2;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(parallel_sum(1000), 499500u);  // the parent is unaffected
}

TEST(Fork, ChildOfAThreadForkingDuringALoop) {
    // Another thread keeps loops running, so the fork may catch the pool's
    // locks held by workers; the child must not depend on them. The busy
    // loop does not allocate: the sanitizers' allocator, unlike glibc's, is
    // not made fork-safe, so a fork during a malloc would hang the child there.
    std::atomic<bool> stop{false};
    std::atomic<int> loops{0};
    std::vector<std::size_t> out(5000);
    std::thread busy([&] {
        while (!stop.load()) {
            parallel_for(out.size(), 1, [&](std::size_t b, std::size_t e) {
                for (std::size_t i = b; i < e; ++i) out[i] = i;
            });
            ++loops;
        }
    });
    while (loops.load() < 2) std::this_thread::yield();  // past the thread's own start-up
    int failures = 0;
    for (int i = 0; i < 5; ++i) {
        int status = run_in_child([] { return parallel_sum(2000) == 1999000u ? 0 : 1; });
        if (status != 0) ++failures;
    }
    stop = true;
    busy.join();
    EXPECT_EQ(failures, 0);
}

}  // namespace
}  // namespace kestrova::worker_pool
