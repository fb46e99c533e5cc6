// Runs a function in a forked child and reports its exit status. The child
// gets an alarm so that a hang ends it instead of the test run; the parent
// also stops waiting after a deadline.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace kestrova::worker_pool {

inline constexpr int kChildTimedOut = -1;
inline constexpr int kChildKilledBySignal = -2;

template <class F>
int run_in_child(F body, unsigned timeout_seconds = 15) {
    pid_t pid = fork();
    if (pid < 0) return -3;
    if (pid == 0) {
        alarm(timeout_seconds);
        int code = 100;
        try {
            code = body();
        } catch (...) {
            code = 101;
        }
        _exit(code);  // no gtest teardown or atexit handlers in the child
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds + 5);
    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) break;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return kChildTimedOut;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM ? kChildTimedOut : kChildKilledBySignal;
}

}  // namespace kestrova::worker_pool
