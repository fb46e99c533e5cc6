#include "worker_pool/pool.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <limits>
#include <system_error>

#include "panic/panic.h"
#include "worker_pool/pool_size.h"

namespace kestrova::worker_pool {
namespace {

// Leaves are kept at or above this share of a loop so that a large loop of
// cheap items does not turn into millions of queue operations, while there
// are still enough pieces for idle threads to even out uneven items.
constexpr std::size_t kPiecesPerThread = 64;

// Room for the pieces of a few concurrent loops, so that splitting does not
// allocate in the steady state.
constexpr std::size_t kReservedTasks = 256;

// A leaf runs in slices of about this much work, so that a stopped loop is
// noticed within a few milliseconds without a check per item.
constexpr std::chrono::microseconds kSliceWork{5'000};

std::atomic<InterruptCheck> g_interrupt_check{nullptr};

thread_local bool t_on_worker = false;

// The test seams count events down to the one they act on.
constexpr std::size_t kNever = std::numeric_limits<std::size_t>::max();
std::atomic<std::size_t> g_fail_start_countdown{kNever};
std::atomic<std::size_t> g_signal_countdown{kNever};
std::atomic<int> g_signal_to_raise{0};
std::atomic<std::size_t> g_items_left_by_last_interrupt{0};

// Counts one event; true, once, for the event the countdown was armed for.
bool count_down(std::atomic<std::size_t>& countdown) {
    std::size_t left = countdown.load(std::memory_order_relaxed);
    while (left != kNever) {
        if (countdown.compare_exchange_weak(left, left == 0 ? kNever : left - 1)) return left == 0;
    }
    return false;
}

void start_thread_or_throw(std::vector<std::thread>& threads, Pool* pool, void (Pool::*entry)(std::size_t),
                           std::size_t index) {
    if (count_down(g_fail_start_countdown))
        throw std::system_error(EAGAIN, std::generic_category(), "thread start refused");
    threads.emplace_back(entry, pool, index);
}

}  // namespace

struct Pool::Job {
    Job(RangeBody b, std::size_t g, std::size_t l) : body(b), grain(g), leaf(l) {}

    RangeBody body;
    std::size_t grain;
    std::size_t leaf;
    std::atomic<std::size_t> outstanding{1};
    std::atomic<bool> stopped{false};  // interrupted: start nothing more
    std::atomic<std::size_t> left{0};   // items not run because the loop stopped

    std::mutex mutex;
    std::condition_variable finished_cv;
    bool finished = false;
    // The caller's interrupt checks, begun and ended (for the signal seam).
    std::size_t checks_begun = 0;
    std::size_t checks_ended = 0;
    std::condition_variable checked_cv;
    std::size_t failed_begin = kNever;
    std::exception_ptr failure;
};

Pool::Pool(std::size_t threads) {
    threads = std::max<std::size_t>(threads, 1);
    threads_.reserve(threads);
    try {
        tasks_.reserve(kReservedTasks);
        for (std::size_t i = 0; i < threads; ++i) start_thread_or_throw(threads_, this, &Pool::worker_main, i);
    } catch (...) {
        stop_and_join();
        panic("The global thread pool has not been initialized.");
    }
    // A fork() while a worker is still starting could leave the child with
    // locks that thread held in the C runtime; return only once all are up.
    std::unique_lock lock(mutex_);
    started_cv_.wait(lock, [&] { return started_ == threads_.size(); });
}

Pool::~Pool() { stop_and_join(); }

void Pool::stop_and_join() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto& t : threads_)
        if (t.joinable()) t.join();
}

void Pool::worker_main(std::size_t index) {
    t_on_worker = true;
    char name[16];
    std::snprintf(name, sizeof name, "kestrova-w%zu", index);
    pthread_setname_np(pthread_self(), name);  // only for panic reports; failure is harmless

    std::unique_lock lock(mutex_);
    ++started_;
    started_cv_.notify_one();
    for (;;) {
        if (!tasks_.empty()) {
            Task task = tasks_.back();
            tasks_.pop_back();
            lock.unlock();
            execute(task);
            lock.lock();
            continue;
        }
        if (stopping_) return;
        ++idle_;
        wake_.wait(lock);
        --idle_;
    }
}

void Pool::push(const Task& task) {
    bool wake;
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(task);
        wake = idle_ > 0;
    }
    if (wake) wake_.notify_one();
}

namespace {

// Slices are the grain times a power of two, doubled or halved towards
// kSliceWork; a remainder below the grain joins the slice before it. Returns
// where it stopped: `end`, unless the loop was stopped.
std::size_t run_in_slices(const RangeBody& body, const std::atomic<bool>& stopped, std::size_t grain,
                          std::size_t begin, std::size_t end) {
    using Clock = std::chrono::steady_clock;
    std::size_t step = grain;
    while (begin < end && !stopped.load(std::memory_order_relaxed)) {
        const std::size_t left = end - begin;
        const std::size_t stop = left <= step || left - step < grain ? end : begin + step;
        const auto start = Clock::now();
        body(begin, stop);
        const auto spent = Clock::now() - start;
        begin = stop;
        if (spent < kSliceWork / 2 && step <= left / 2) step *= 2;
        else if (spent > kSliceWork * 2 && step / 2 >= grain) step /= 2;
    }
    return begin;
}

}  // namespace

void Pool::signal_and_wait_for_check(Job& job) {
    std::raise(g_signal_to_raise.load());
    if (g_interrupt_check.load(std::memory_order_acquire) == nullptr) return;
    // A check begun before the signal may have missed it: wait for the next.
    std::unique_lock lock(job.mutex);
    const std::size_t begun = job.checks_begun;
    job.checked_cv.wait(lock, [&] { return job.checks_ended > begun || job.stopped.load(); });
}

void Pool::execute(Task task) {
    Job& job = *task.job;
    if (count_down(g_signal_countdown)) signal_and_wait_for_check(job);
    if (job.stopped.load(std::memory_order_relaxed)) {
        job.left.fetch_add(task.end - task.begin, std::memory_order_relaxed);
        task.end = task.begin;
    }
    // Halve while both halves keep at least a leaf; the upper half waits in
    // the queue for whichever thread is free first.
    while ((task.end - task.begin) / 2 >= job.leaf) {
        // On a whole grain from the start (the leaf is whole grains, so both halves keep one).
        std::size_t mid = task.begin + (task.end - task.begin) / 2 / job.grain * job.grain;
        job.outstanding.fetch_add(1, std::memory_order_relaxed);
        try {
            push(Task{&job, mid, task.end});
        } catch (...) {  // out of memory for the queue: keep the rest here
            job.outstanding.fetch_sub(1, std::memory_order_relaxed);
            break;
        }
        task.end = mid;
    }

    try {
        const std::size_t stopped_at = run_in_slices(job.body, job.stopped, job.grain, task.begin, task.end);
        job.left.fetch_add(task.end - stopped_at, std::memory_order_relaxed);
    } catch (...) {
        // Leaves are disjoint and each stops at its first failure, so the
        // lowest-starting failed leaf holds the lowest failing item.
        std::lock_guard lock(job.mutex);
        if (task.begin < job.failed_begin) {
            job.failed_begin = task.begin;
            job.failure = std::current_exception();
        }
    }

    if (job.outstanding.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        std::lock_guard lock(job.mutex);
        job.finished = true;
        job.finished_cv.notify_one();
    }
}

void Pool::run(std::size_t n, std::size_t grain, RangeBody body) {
    if (n == 0) return;
    // Nested loops run inline: a worker waiting for its own pool could leave
    // no thread to do the work.
    if (n == 1 || t_on_worker) {
        body(0, n);
        return;
    }
    grain = std::max(grain, std::size_t(1));
    std::size_t pieces = kPiecesPerThread * threads_.size();
    std::size_t leaf = std::max(grain, n / pieces + (n % pieces != 0 ? 1 : 0));
    leaf = (leaf + grain - 1) / grain * grain;  // whole grains: every range but the last starts on one

    Job job(body, grain, leaf);
    push(Task{&job, 0, n});
    std::exception_ptr interruption;
    {
        std::unique_lock lock(job.mutex);
        const auto done = [&] { return job.finished; };
        while (!job.finished) {
            const InterruptCheck check = g_interrupt_check.load(std::memory_order_acquire);
            if (check == nullptr || interruption) {
                job.finished_cv.wait(lock, done);
                break;
            }
            if (job.finished_cv.wait_for(lock, kInterruptPollInterval, done)) break;
            ++job.checks_begun;
            lock.unlock();  // the check may take long, or run loops of its own
            try {
                check();
            } catch (...) {
                interruption = std::current_exception();
                job.stopped.store(true, std::memory_order_relaxed);
            }
            lock.lock();
            ++job.checks_ended;
            job.checked_cv.notify_all();
        }
    }
    if (interruption) {
        g_items_left_by_last_interrupt.store(job.left.load(std::memory_order_relaxed));
        std::rethrow_exception(interruption);
    }
    if (job.failure) std::rethrow_exception(job.failure);
}

bool on_worker_thread() { return t_on_worker; }

void set_interrupt_check(InterruptCheck check) { g_interrupt_check.store(check, std::memory_order_release); }

void check_interrupt() {
    if (t_on_worker) return;
    if (const InterruptCheck check = g_interrupt_check.load(std::memory_order_acquire)) check();
}

namespace {

std::mutex g_create_mutex;
std::atomic<Pool*> g_pool{nullptr};
std::size_t g_requested_size = 0;  // 0: none; guarded by g_create_mutex
// Pools left behind in a forked child stay reachable so that leak checkers
// do not flag them; they are never destroyed (their threads are gone).
constexpr std::size_t kAbandonedSlots = 16;
Pool* g_abandoned[kAbandonedSlots];
std::size_t g_abandoned_count = 0;

void before_fork() { g_create_mutex.lock(); }
void after_fork_parent() { g_create_mutex.unlock(); }
void after_fork_child() {
    if (Pool* stale = g_pool.load()) {
        g_abandoned[g_abandoned_count % kAbandonedSlots] = stale;
        ++g_abandoned_count;
        g_pool.store(nullptr);
    }
    g_create_mutex.unlock();
}

}  // namespace

Pool& global_pool() {
    if (Pool* pool = g_pool.load(std::memory_order_acquire)) return *pool;
    static std::once_flag handlers_once;
    std::call_once(handlers_once, [] {
        int rc = pthread_atfork(before_fork, after_fork_parent, after_fork_child);
        if (rc != 0) panic("pthread_atfork failed with return code " + std::to_string(rc));
    });
    std::lock_guard lock(g_create_mutex);
    if (Pool* pool = g_pool.load(std::memory_order_acquire)) return *pool;
    const std::size_t size = g_requested_size != 0 ? g_requested_size : configured_pool_size();
    Pool* pool = new Pool(size);  // never deleted: the pool lives as long as the process
    g_pool.store(pool, std::memory_order_release);
    return *pool;
}

std::size_t request_pool_size(std::size_t threads) {
    std::lock_guard lock(g_create_mutex);
    if (Pool* pool = g_pool.load(std::memory_order_acquire)) return pool->thread_count();
    g_requested_size = threads != 0 ? threads : processor_count();
    return g_requested_size;
}

namespace detail {
void fail_worker_start_at_for_testing(std::size_t k) { g_fail_start_countdown.store(k); }

void signal_at_piece_for_testing(std::size_t k, int signal) {
    if (k != kNever) g_items_left_by_last_interrupt.store(0);
    g_signal_to_raise.store(signal);
    g_signal_countdown.store(k);
}

std::size_t items_left_by_last_interrupt_for_testing() { return g_items_left_by_last_interrupt.load(); }
}  // namespace detail

}  // namespace kestrova::worker_pool
