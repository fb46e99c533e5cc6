// Internal failures. A Panic carries a fixed message and where it was raised;
// the binding turns it into the Python-side PanicException.
#pragma once

#include <exception>
#include <source_location>
#include <string>

namespace kestrova {

class Panic : public std::exception {
public:
    Panic(std::string message, std::source_location where)
        : message_(std::move(message)), where_(where) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }

private:
    std::string message_;
    std::source_location where_;
};

// Writes the standard-error report for this thread, then throws.
[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());

// Whether panics write their report (on by default). An embedding that turns
// every panic into its own one-line error switches them off.
void set_panic_reports(bool on);

// The report alone (used when a panic resumes from Python without a new report).
void report_panic(const std::string& message, const std::source_location& where);

// Frequent fixed messages shared by several subsystems.
std::string length_mismatch_message(std::size_t given, std::size_t expected);
std::string range_end_message(std::size_t end, std::size_t length);

}  // namespace kestrova
