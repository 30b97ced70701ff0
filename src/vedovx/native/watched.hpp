// Long evaluations with the interpreter lock released, interruptible and reporting progress.
#pragma once

#include <cstddef>
#include <functional>

#include "vedov/binding/python.hpp"
#include "zam/parallel.hpp"

namespace vedovx {

/// Who is told how far an evaluation has come: `callback` (or nobody when null) receives
/// (offset + rows done, total) as Python ints, several times a second and once at the end.
struct ProgressReport {
    PyObject* callback = nullptr;
    std::size_t offset = 0;
    std::size_t total = 0;
};

/// Runs `work` (which counts its finished rows in the Progress it is given) with `threads`
/// workers (0: the process-wide pool) while the calling thread, the interpreter lock released,
/// wakes every few tens of milliseconds to run pending signal handlers and report progress. A
/// handler or callback that raises (Ctrl-C's KeyboardInterrupt) cancels the work, waits for its
/// workers to stop and throws PythonError with that exception set. Called with the lock held;
/// returns with it held.
void run_released(std::size_t threads, const ProgressReport& report,
                  const std::function<void(zam::Progress&)>& work);

}  // namespace vedovx
