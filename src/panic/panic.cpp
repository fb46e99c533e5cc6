#include "panic/panic.h"
#include "panic/verify.h"

#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace kestrova {
namespace {
std::atomic<bool> g_reports{true};
}  // namespace

void set_panic_reports(bool on) { g_reports.store(on, std::memory_order_relaxed); }

void report_panic(const std::string& message, const std::source_location& where) {
    if (!g_reports.load(std::memory_order_relaxed)) return;
    char name[64] = "<unnamed>";
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0') {
        std::snprintf(name, sizeof name, "<unnamed>");
    }
    // One write per report so that reports of concurrent panics do not interleave.
    std::string report = "\nthread '" + std::string(name) + "' panicked at " + where.file_name() + ":" +
                         std::to_string(where.line()) + ":" + std::to_string(where.column()) + ":\n" +
                         message + "\n";
    std::fwrite(report.data(), 1, report.size(), stderr);
    std::fflush(stderr);
}

void panic(std::string message, std::source_location where) {
    report_panic(message, where);
    throw Panic(std::move(message), where);
}

std::string length_mismatch_message(std::size_t given, std::size_t expected) {
    return "source slice length (" + std::to_string(given) +
           ") does not match destination slice length (" + std::to_string(expected) + ")";
}

std::string range_end_message(std::size_t end, std::size_t length) {
    return "range end index " + std::to_string(end) + " out of range for slice of length " +
           std::to_string(length);
}

void verify_failed(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "\n%s:%d: arithmetic invariant broken: %s\n", file, line, condition);
    std::fflush(stderr);
    std::abort();
}

}  // namespace kestrova
