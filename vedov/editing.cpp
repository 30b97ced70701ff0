// Filtering, reordering and merging of measurement and actuator lists.
#include "vedov/editing.hpp"

#include <utility>

#include "zam/failure.hpp"

namespace vedov {

namespace {

// The entries of `list` whose mask position is true, in order; the mask must cover the list.
template <class T>
std::vector<T> kept(const std::vector<T>& list, const std::vector<bool>& mask) {
    std::vector<T> result;
    result.reserve(list.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (zam::checked_at(mask, i)) result.push_back(list[i]);
    }
    return result;
}

// The first system's `field` extended by that field of every later system, in order.
template <class T>
void concatenate(std::vector<SystemGeom>& systems, std::vector<T> SystemGeom::*field) {
    std::vector<T>& merged = systems.front().*field;
    std::size_t total = merged.size();
    for (std::size_t k = 1; k < systems.size(); ++k) {
        total = zam::checked_add(total, (systems[k].*field).size());
    }
    zam::check_capacity<T>(total);
    merged.reserve(total);
    for (std::size_t k = 1; k < systems.size(); ++k) {
        const std::vector<T>& part = systems[k].*field;
        merged.insert(merged.end(), part.begin(), part.end());
    }
}

void require_systems(const std::vector<SystemGeom>& systems) {
    if (systems.empty()) zam::fail_index(0, 0);
}

}  // namespace

void filter_meas(SystemGeom& system, const std::vector<bool>& valid_meas) {
    std::vector<zam::Measurement> meas = kept(system.meas, valid_meas);
    std::vector<zam::Line> meas_lines = kept(system.meas_lines, valid_meas);
    system.meas.swap(meas);
    system.meas_lines.swap(meas_lines);
}

void filter_com(SystemGeom& system, const std::vector<bool>& valid_com) {
    std::vector<zam::Actuator> com = kept(system.com, valid_com);
    system.com.swap(com);
}

void reorder_meas(SystemGeom& system, std::span<const std::size_t> order) {
    std::vector<zam::Measurement> meas;
    std::vector<zam::Line> meas_lines;
    zam::check_capacity<zam::Measurement>(order.size());
    meas.reserve(order.size());
    meas_lines.reserve(order.size());
    for (const std::size_t j : order) {
        meas.push_back(zam::checked_at(system.meas, j));
        meas_lines.push_back(zam::checked_at(system.meas_lines, j));
    }
    system.meas.swap(meas);
    system.meas_lines.swap(meas_lines);
}

void reorder_com(SystemGeom& system, std::span<const std::size_t> order) {
    std::vector<zam::Actuator> com;
    zam::check_capacity<zam::Actuator>(order.size());
    com.reserve(order.size());
    for (const std::size_t j : order) com.push_back(zam::checked_at(system.com, j));
    system.com.swap(com);
}

SystemGeom merge_meas(std::vector<SystemGeom> systems) {
    require_systems(systems);
    concatenate(systems, &SystemGeom::meas);
    concatenate(systems, &SystemGeom::meas_lines);
    return std::move(systems.front());
}

SystemGeom merge_com(std::vector<SystemGeom> systems) {
    require_systems(systems);
    concatenate(systems, &SystemGeom::com);
    return std::move(systems.front());
}

}  // namespace vedov
