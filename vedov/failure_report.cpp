// Classification of C++ failures for the module boundary, and the panic diagnostic's layout.
#include "vedov/failure_report.hpp"

#include <new>
#include <stdexcept>

#include "zam/failure.hpp"

namespace vedov {

FailureReport describe_failure(std::exception_ptr failure) noexcept {
    try {
        try {
            std::rethrow_exception(failure);
        } catch (const zam::Failure& f) {
            const auto& w = f.where();
            return {Outcome::panic, f.message(), f.thread(),
                    std::string(w.file_name()) + ":" + std::to_string(w.line()) + ":" +
                        std::to_string(w.column())};
        } catch (const std::bad_array_new_length&) {
            return {Outcome::panic, "capacity overflow", {}, {}};
        } catch (const std::bad_alloc&) {
            return {Outcome::out_of_memory, {}, {}, {}};
        } catch (const std::length_error&) {
            // Raised by the standard containers for sizes past their largest allocatable size.
            return {Outcome::panic, "capacity overflow", {}, {}};
        } catch (const std::exception& e) {
            const char* text = e.what();
            return {Outcome::panic, (text && *text) ? text : generic_failure_message, {}, {}};
        } catch (...) {
            return {Outcome::panic, generic_failure_message, {}, {}};
        }
    } catch (...) {
        // Building the report itself ran out of memory.
        return {Outcome::out_of_memory, {}, {}, {}};
    }
}

std::string panic_diagnostic(const FailureReport& report) {
    std::string text = "vedov: thread '";
    text += report.thread.empty() ? "<unnamed>" : report.thread;
    text += "' failed";
    if (!report.location.empty()) text += " at " + report.location;
    text += ":\n" + report.message + "\n";
    return text;
}

}  // namespace vedov
