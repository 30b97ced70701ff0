// Evaluations started from several threads at once share the pool and never disturb each other.
#include <sys/wait.h>
#include <unistd.h>

#include <barrier>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/cpp/bits.hpp"
#include "tests/cpp/failures.hpp"
#include "zam/actuator.hpp"
#include "zam/covmat.hpp"
#include "zam/imat.hpp"
#include "zam/parallel.hpp"
#include "zam/pupil.hpp"

namespace {

using namespace zam;
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr std::size_t callers = 4;

// Rows of every kind: slopes towards finite and infinite sources, phases and a zero.
std::vector<Measurement> measurements(std::size_t n) {
    std::vector<Measurement> ms;
    for (std::size_t k = 0; k < n; ++k) {
        const double x = 0.37 * static_cast<double>(k) - 3.0;
        const Line c{x, 1e-5 * x, -0.5 * x, 2e-6};
        switch (k % 4) {
            case 0: ms.emplace_back(Phase{c}); break;
            case 1: ms.emplace_back(SlopeTwoEdge{c, 0.5, 0.5, {0, 1}, 2, inf}); break;
            case 2: ms.emplace_back(SlopeTwoEdge{c, 0.5, 0.4, {1, 0}, 3, 90000.0}); break;
            default: ms.emplace_back(Zero{}); break;
        }
    }
    return ms;
}

const VonKarmanLayers layers = {{0.21575883, 60, 0, {10, 0}}, {0.59536035, 25, 3300, {12, -2}}};
const std::vector<Actuator> actuators = {Gaussian{0.4, {0, 0, 0}, 1}, TipTilt{{0, 2}}, Zero{},
                                         Gaussian{0.3, {1, -1, 5000}, 0.7}};
const Pupil pupil{3.0, 0.5, 0.2, {{{0, 0}, {3, 3}}}};

// What one caller computes: a covariance at its own lag, an interaction matrix, a projection.
struct Results {
    DenseMatrix covariance;
    DenseMatrix interaction;
    std::vector<double> projection;
};

Results evaluate(const std::vector<Measurement>& ms, double lag) {
    return {matrix(CovMat(ms, ms, layers, lag)), matrix(IMat<Actuator>(ms, actuators)),
            flat_matrix(IMat<Pupil>(ms, std::span<const Pupil>(&pupil, 1)))};
}

void expect_same(const DenseMatrix& a, const DenseMatrix& b) {
    ASSERT_EQ(a.rows(), b.rows());
    ASSERT_EQ(a.cols(), b.cols());
    for (std::size_t k = 0; k < a.size(); ++k) EXPECT_BITS_EQ(a.data()[k], b.data()[k]);
}

double lag_of(std::size_t caller) {
    return 0.001 * static_cast<double>(caller);
}

// Runs body(c) for every caller c on its own thread, all released at once; returns when all end.
template <class Body>
void run_together(const Body& body) {
    std::barrier start(static_cast<std::ptrdiff_t>(callers));
    std::vector<std::jthread> threads;
    for (std::size_t c = 0; c < callers; ++c) {
        threads.emplace_back([&, c] {
            start.arrive_and_wait();
            body(c);
        });
    }
}

// The first evaluation of the process comes from several threads at once: they race to create
// the pool and to choose the vector level, and all get the results of one caller alone.
TEST(Concurrency, SimultaneousCallersGetTheResultsOfOneCallerAlone) {
    const std::vector<Measurement> ms = measurements(24);
    std::vector<Results> got(callers);
    run_together([&](std::size_t c) {
        for (int round = 0; round < 3; ++round) got[c] = evaluate(ms, lag_of(c));
    });
    for (std::size_t c = 0; c < callers; ++c) {
        const Results alone = evaluate(ms, lag_of(c));
        expect_same(got[c].covariance, alone.covariance);
        expect_same(got[c].interaction, alone.interaction);
        ASSERT_EQ(got[c].projection.size(), alone.projection.size());
        for (std::size_t k = 0; k < alone.projection.size(); ++k) {
            EXPECT_BITS_EQ(got[c].projection[k], alone.projection[k]);
        }
    }
}

// A failing evaluation reaches its own caller only; the others running meanwhile complete.
TEST(Concurrency, FailuresStayWithTheirCaller) {
    const std::vector<Measurement> ms = measurements(16);
    const DenseMatrix expected = matrix(CovMat(ms, ms, layers, 0.0));
    std::vector<std::string> messages(callers);
    std::vector<DenseMatrix> results(callers);
    run_together([&](std::size_t c) {
        if (c % 2 == 0) {
            std::vector<std::pair<std::size_t, std::size_t>> indices(3000, {1, 1});
            indices[2000 + c] = {ms.size() + c, 0};
            messages[c] = vedov_test::failure_message(
                [&] { samples(IMat<Actuator>(ms, actuators), std::move(indices)); });
        } else {
            results[c] = matrix(CovMat(ms, ms, layers, 0.0));
        }
    });
    for (std::size_t c = 0; c < callers; ++c) {
        if (c % 2 == 0) {
            EXPECT_EQ(messages[c], "index out of bounds: the len is 16 but the index is " +
                                       std::to_string(ms.size() + c));
        } else {
            expect_same(results[c], expected);
        }
    }
}

bool bits_equal(const DenseMatrix& a, const DenseMatrix& b) {
    return a.rows() == b.rows() && a.cols() == b.cols() &&
           std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// What the child of a fork finds: the results of its parent, computed on its own thread alone,
// and failures reported as usual. The child answers through its exit status.
TEST(Concurrency, ForkedChildEvaluatesOnItsOwnThread) {
    const std::vector<Measurement> ms = measurements(24);
    const Results parent = evaluate(ms, 0.002);  // the pool exists from here on
    ASSERT_FALSE(pool_lost_to_fork());
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const Results again = evaluate(ms, 0.002);
        const std::string message = vedov_test::failure_message([&] {
            samples(IMat<Actuator>(ms, actuators), {{0, 0}, {ms.size(), 0}});
        });
        const auto threads = std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                           std::filesystem::directory_iterator());
        const bool ok = pool_lost_to_fork() && bits_equal(again.covariance, parent.covariance) &&
                        bits_equal(again.interaction, parent.interaction) &&
                        again.projection == parent.projection &&
                        message == "index out of bounds: the len is 24 but the index is 24" &&
                        threads == 1;
        std::_Exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(pool_lost_to_fork());
}

// A watched run fills caller-owned storage (here float32 rows spaced apart) on a thread of its own
// while the caller watches; a watch that throws cancels the work, and a failing work reaches the
// caller.
TEST(Concurrency, WatchedRunsFillStorageAndStopWhenTheWatchThrows) {
    const std::vector<Measurement> ms = measurements(24);
    const DenseMatrix expected = matrix(CovMat(ms, ms, layers, 0.001));
    std::vector<float> storage(ms.size() * 30, -1.0f);
    const Target target{storage.data(), ms.size(), ms.size(), 30, ElementType::float32};
    Progress progress;
    run_watched(
        2, progress, std::chrono::milliseconds(1),
        [&] { fill(CovMat(ms, ms, layers, 0.001), target, progress); }, [] {});
    EXPECT_EQ(progress.rows_done.load(), ms.size());
    for (std::size_t i = 0; i < ms.size(); ++i) {
        for (std::size_t j = 0; j < 30; ++j) {
            const float want = j < ms.size() ? static_cast<float>(expected(i, j)) : -1.0f;
            EXPECT_EQ(std::memcmp(&storage[i * 30 + j], &want, sizeof want), 0) << i << " " << j;
        }
    }

    Progress stopped;
    const std::string message = vedov_test::failure_message([&] {
        run_watched(
            0, stopped, std::chrono::milliseconds(1),
            [&] {
                while (!stopped.cancelled.load()) std::this_thread::yield();
            },
            [] { throw Failure("stop"); });
    });
    EXPECT_EQ(message, "stop");
    EXPECT_TRUE(stopped.cancelled.load());

    Progress unwatched;
    EXPECT_EQ(vedov_test::failure_message([&] {
                  run_watched(
                      3, unwatched, std::chrono::milliseconds(1),
                      [] { throw Failure("from the work"); }, [] {});
              }),
              "from the work");
}

}  // namespace
