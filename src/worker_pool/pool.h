// A fixed set of worker threads that runs index-range loops while the calling
// thread waits. One process-wide pool serves the operations; separate pools
// with a chosen size exist for tests and benchmarks.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace kestrova::worker_pool {

// A non-owning reference to a callable body(begin, end); valid while the
// callable it was made from lives.
class RangeBody {
public:
    template <class F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, RangeBody>)
    RangeBody(F&& f)  // NOLINT: implicit on purpose; a temporary lives through the loop call
        : object_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
          call_([](void* object, std::size_t begin, std::size_t end) {
              (*static_cast<std::remove_reference_t<F>*>(object))(begin, end);
          }) {}

    void operator()(std::size_t begin, std::size_t end) const { call_(object_, begin, end); }

private:
    void* object_;
    void (*call_)(void*, std::size_t, std::size_t);
};

class Pool {
public:
    // Starts `threads` workers (at least one). A worker that cannot be started
    // is a panic "The global thread pool has not been initialized."; the
    // workers already started are stopped first.
    explicit Pool(std::size_t threads);
    ~Pool();  // lets queued work finish, then joins the workers
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    std::size_t thread_count() const { return threads_.size(); }

    // Runs body over [0, n) split into contiguous sub-ranges of at least
    // `grain` items (the last one may be shorter), each worked through in
    // ascending order by one thread. A loop of at most one item, or one
    // started on a worker thread, runs on the calling thread. Otherwise the
    // caller only waits. If sub-ranges throw, every sub-range still runs to
    // its end or its first failure, and the exception of the lowest-indexed
    // failing item is rethrown here. While it waits, the caller runs the
    // interrupt check (below); if that throws, the loop stops and run()
    // rethrows what it threw instead.
    void run(std::size_t n, std::size_t grain, RangeBody body);

    template <class F>
    void parallel_for(std::size_t n, std::size_t grain, F&& body) {
        run(n, grain, RangeBody(body));
    }

private:
    struct Job;
    struct Task {
        Job* job;
        std::size_t begin;
        std::size_t end;
    };

    void worker_main(std::size_t index);
    void push(const Task& task);
    void execute(Task task);
    static void signal_and_wait_for_check(Job& job);
    void stop_and_join();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<Task> tasks_;  // LIFO: the most recently split half is taken first
    std::size_t idle_ = 0;
    std::size_t started_ = 0;
    std::condition_variable started_cv_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

// The process-wide pool, created on first use with the requested size (below)
// or else configured_pool_size() threads. After fork() the child gets a new
// pool on first use, of the same size: the parent's workers do not exist there.
Pool& global_pool();

// Asks for `threads` workers (0: one per processor) in the process-wide pool,
// ahead of the environment, which stays the default. The pool's size is
// fixed once it starts, so a request then changes nothing. Returns the size
// the pool has or will have, for the caller to compare with its request.
std::size_t request_pool_size(std::size_t threads);

// True on a worker thread of any pool.
bool on_worker_thread();

// Interruption, for an embedding program that must react to events (signals)
// during long loops. The installed check runs on the thread that called a
// loop, never on a worker: at least every kInterruptPollInterval while it
// waits, and whenever that thread's own long work calls check_interrupt().
// A check that throws stops the loop: no further items start, the workers
// finish the short slice they are in, and the loop rethrows the check's
// exception. Without a check (the default) loops just wait.
using InterruptCheck = void (*)();
inline constexpr std::chrono::milliseconds kInterruptPollInterval{20};
void set_interrupt_check(InterruptCheck check);  // nullptr removes it

// Runs the installed check (it may throw); does nothing on a worker thread,
// whose loop's caller is polled already.
void check_interrupt();

// Loops on the process-wide pool (created even for n == 0).
template <class F>
void parallel_for(std::size_t n, std::size_t grain, F&& body) {
    global_pool().run(n, grain, RangeBody(body));
}

namespace detail {
// Test seam: make the k-th worker start from now on (0-based, counted over
// all pools) fail as if the system refused a thread; SIZE_MAX disables.
void fail_worker_start_at_for_testing(std::size_t k);

// Test seam for interruption at a chosen point of the work, not of the clock:
// the k-th piece of loop work to start from now on (0-based, counted over all
// pools) raises `signal` on its worker, then waits until the loop's caller has
// run its interrupt check once more, so the check always sees the signal
// while that piece (at least) is still to do. Fires once; SIZE_MAX disarms.
// Arming (not disarming) clears the count below.
// Without an installed check the piece only raises the signal.
void signal_at_piece_for_testing(std::size_t k, int signal);

// How many items the last loop stopped by its interrupt check left unrun.
std::size_t items_left_by_last_interrupt_for_testing();
}  // namespace detail

}  // namespace kestrova::worker_pool
