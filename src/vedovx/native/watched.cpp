// The calling thread's watch over an evaluation running without the interpreter lock.
#include "vedovx/native/watched.hpp"

#include <chrono>

namespace vedovx {

namespace {

using vedov::binding::PythonError;
using vedov::binding::Ref;

// Ctrl-C is seen within this time, plus the rest of the row being evaluated.
constexpr std::chrono::milliseconds watch_interval{20};

// The interpreter lock released for the guard's lifetime; taken back around a Python call.
class LockReleased {
public:
    LockReleased() noexcept : state_(PyEval_SaveThread()) {}
    ~LockReleased() { PyEval_RestoreThread(state_); }
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;

    /// Runs `body` with the lock held again.
    template <class Body>
    void with_lock(Body&& body) {
        PyEval_RestoreThread(state_);
        struct Release {
            PyThreadState*& state;
            ~Release() { state = PyEval_SaveThread(); }
        } release{state_};
        body();
    }

private:
    PyThreadState* state_;
};

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
    {
        LockReleased released;
        zam::run_watched(
            threads, progress, watch_interval, [&] { work(progress); },
            [&] {
                released.with_lock([&] {
                    if (PyErr_CheckSignals() < 0) throw PythonError{};
                    report_progress(report, progress.rows_done.load(std::memory_order_relaxed));
                });
            });
    }
    report_progress(report, progress.rows_done.load(std::memory_order_relaxed));
}

}  // namespace vedovx
