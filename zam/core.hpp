// Bundles of weighted lines, and the sampling interfaces joining measurements to objects.
#pragma once

#include <concepts>
#include <cstddef>
#include <span>
#include <vector>

#include "zam/failure.hpp"
#include "zam/geometry.hpp"
#include "zam/measurement.hpp"

namespace zam {

/// One line of sight of a bundle and its weight.
struct WeightedLine {
    Line line;
    double weight;
    friend bool operator==(const WeightedLine&, const WeightedLine&) = default;
};

/// The ordered (line, weight) pairs a measurement reduces to.
using Bundle = std::vector<WeightedLine>;

/// Something with a value along one line of sight (an actuator, the pupil).
template <class T>
concept Sampleable = requires(const T& object, const Line& line) {
    { sample_line(object, line) } -> std::same_as<double>;
};

/// Something with a covariance between its values along two lines at a time lag (the turbulence).
template <class T>
concept CoSampleable = requires(const T& object, const Line& a, const Line& b, double t) {
    { cosample_lines(object, a, b, t) } -> std::same_as<double>;
};

/// Something that reduces to a bundle (a measurement); sample and cosample are defined on bundles.
template <class T>
concept Sampler = requires(const T& object) {
    { get_bundle(object) } -> std::same_as<Bundle>;
};

/// Number of pairs in the measurement's bundle (1, 2 or 2·npoints); "capacity overflow" past a
/// word.
std::size_t bundle_size(const Measurement& m);

/// Writes the measurement's bundle into out[0 .. bundle_size(m)), in bundle order.
void write_bundle(const Measurement& m, WeightedLine* out);

/// The measurement's bundle, newly allocated.
Bundle get_bundle(const Measurement& m);

/// Weighted sum over a bundle of the object's values, from -0.0, in bundle order.
template <Sampleable Object>
double sample(std::span<const WeightedLine> bundle, const Object& object) {
    double sum = -0.0;
    for (const WeightedLine& wl : bundle) sum = sum + wl.weight * sample_line(object, wl.line);
    return sum;
}

/// Weighted double sum over two bundles of the object's covariance, rows' lines first: for each
/// line of `a` an inner sum over `b` from -0.0, each term (cov × wa) × wb; the inner sums added
/// from -0.0.
template <CoSampleable Object>
double cosample(std::span<const WeightedLine> a, std::span<const WeightedLine> b,
                const Object& object, double t) {
    double total = -0.0;
    for (const WeightedLine& la : a) {
        double inner = -0.0;
        for (const WeightedLine& lb : b) {
            inner = inner + (cosample_lines(object, la.line, lb.line, t) * la.weight) * lb.weight;
        }
        total = total + inner;
    }
    return total;
}

/// The measurement's value of the object: its bundle built, then sampled.
template <Sampleable Object>
double sample(const Measurement& m, const Object& object) {
    return sample(get_bundle(m), object);
}

/// The covariance of two measurements through the object at lag t; `m`'s lines come first.
template <CoSampleable Object>
double cosample(const Measurement& m, const Measurement& other, const Object& object, double t) {
    const Bundle a = get_bundle(m);
    const Bundle b = get_bundle(other);
    return cosample(std::span<const WeightedLine>(a), std::span<const WeightedLine>(b), object, t);
}

/// The bundles of a list of measurements, built once and stored back to back.
class BundleSet {
public:
    explicit BundleSet(std::span<const Measurement> measurements);
    /// The bundles of measurements[order[k]], k in order; an index past the list fails with the
    /// index failure.
    BundleSet(std::span<const Measurement> measurements, std::span<const std::size_t> order);

    std::size_t size() const noexcept { return offsets_.size() - 1; }
    std::span<const WeightedLine> operator[](std::size_t i) const noexcept {
        return {lines_.data() + offsets_[i], offsets_[i + 1] - offsets_[i]};
    }
    /// All lines of all bundles, in order; bundle i occupies [offset(i), offset(i + 1)).
    std::span<const WeightedLine> lines() const noexcept { return lines_; }
    std::size_t offset(std::size_t i) const noexcept { return offsets_[i]; }

private:
    // Sizes every bundle first, then writes them back to back; measurement(k) is the k-th one.
    template <class Nth>
    void build(std::size_t count, const Nth& measurement) {
        offsets_.reserve(checked_add(count, 1));
        offsets_.push_back(0);
        std::size_t total = 0;
        for (std::size_t k = 0; k < count; ++k) {
            total = checked_add(total, bundle_size(measurement(k)));
            offsets_.push_back(total);
        }
        check_capacity<WeightedLine>(total);
        lines_.resize(total);
        for (std::size_t k = 0; k < count; ++k) {
            write_bundle(measurement(k), lines_.data() + offsets_[k]);
        }
    }

    std::vector<WeightedLine> lines_;
    std::vector<std::size_t> offsets_;
};

}  // namespace zam
