// The calling thread's watch over an evaluation running without the interpreter lock.
#include "vedovx/native/watched.hpp"

#include <cxxabi.h>

#include <chrono>
#include <exception>

namespace vedovx {

namespace {

using vedov::binding::PythonError;
using vedov::binding::Ref;

// Ctrl-C is seen within this time, plus the rest of the row being evaluated.
constexpr std::chrono::milliseconds watch_interval{20};

// Runs `body` with the interpreter lock taken back from `state` and releases it again, whether
// body returns or throws. Taking the lock may end this thread instead (pthread_exit, when the
// interpreter is finalizing and this is a daemon thread): that unwind passes through, holding
// nothing.
template <class Body>
void with_lock(PyThreadState* state, Body&& body) {
    PyEval_RestoreThread(state);
    struct Release {
        ~Release() { PyEval_SaveThread(); }
    } release;
    body();
}

void report_progress(const ProgressReport& report, std::size_t done) {
    if (!report.callback) return;
    Ref result(PyObject_CallFunction(report.callback, "nn",
                                     static_cast<Py_ssize_t>(report.offset + done),
                                     static_cast<Py_ssize_t>(report.total)));
    if (!result) throw PythonError{};
}

}  // namespace

void run_released(std::size_t threads, const ProgressReport& report,
                  const std::function<void(zam::Progress&)>& work) {
    zam::Progress progress;
    std::exception_ptr failure;
    // The lock is taken back by plain calls, never in a destructor, so that the unwind of a thread
    // the interpreter ends while it takes the lock meets no function that may not throw.
    PyThreadState* const state = PyEval_SaveThread();
    try {
        zam::run_watched(
            threads, progress, watch_interval, [&] { work(progress); },
            [&] {
                with_lock(state, [&] {
                    if (PyErr_CheckSignals() < 0) throw PythonError{};
                    report_progress(report, progress.rows_done.load(std::memory_order_relaxed));
                });
            });
    } catch (const abi::__forced_unwind&) {
        throw;  // this thread ends holding no lock; run_watched has stopped the work
    } catch (...) {
        failure = std::current_exception();
    }
    PyEval_RestoreThread(state);
    if (failure) std::rethrow_exception(failure);
    report_progress(report, progress.rows_done.load(std::memory_order_relaxed));
}

}  // namespace vedovx
