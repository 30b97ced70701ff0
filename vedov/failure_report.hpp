// What a C++ failure that leaves an operation becomes at the module boundary (Python-free half).
#pragma once

#include <exception>
#include <string>

namespace vedov {

/// How the boundary reports a failure to the caller.
enum class Outcome {
    panic,          ///< an internal failure: PanicException carrying the message
    out_of_memory,  ///< an allocation memory could not satisfy: MemoryError, object unchanged
};

struct FailureReport {
    Outcome outcome;
    std::string message;
    std::string thread;    ///< thread that raised it, when known
    std::string location;  ///< "file:line:column", when known
};

/// Text of a failure raised without a message of its own.
inline constexpr const char* generic_failure_message =
    "an internal operation failed without a message";

/// Classifies the exception in `failure`: internal failures and other standard exceptions are
/// panics with their message; a size beyond every allocation is the panic "capacity overflow"; an
/// allocation that memory could not satisfy is out_of_memory.
FailureReport describe_failure(std::exception_ptr failure) noexcept;

/// The diagnostic written to standard error before a panic is raised.
std::string panic_diagnostic(const FailureReport& report);

}  // namespace vedov
