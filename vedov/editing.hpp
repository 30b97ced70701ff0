// Editing of a system's measurement and actuator lists: selection by mask, by index, and merging.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "vedov/system_geom.hpp"

namespace vedov {

// meas_lines moves with meas: whatever happens to meas[i] happens to meas_lines[i]. Each edit
// builds its new lists completely before it replaces the old ones, so a failure changes nothing.

/// Keeps meas[i] and meas_lines[i] where valid_meas[i] is true. Entries past the lists' ends are
/// not read; a mask that does not reach the end of meas or of meas_lines fails with the index
/// failure naming its length.
void filter_meas(SystemGeom& system, const std::vector<bool>& valid_meas);

/// Keeps com[i] where valid_com[i] is true; a short mask fails as for filter_meas.
void filter_com(SystemGeom& system, const std::vector<bool>& valid_com);

/// meas becomes [meas[order[0]], meas[order[1]], ...] and meas_lines likewise: a permutation, a
/// selection or a repetition by position. Each index is checked against len(meas) before its
/// measurement is taken and against len(meas_lines) before its line is taken.
void reorder_meas(SystemGeom& system, std::span<const std::size_t> order);

/// com becomes [com[order[0]], com[order[1]], ...].
void reorder_com(SystemGeom& system, std::span<const std::size_t> order);

/// The first system with meas and meas_lines replaced by the concatenation of all systems' lists,
/// in order. An empty list fails with the index failure for length 0 and index 0.
SystemGeom merge_meas(std::vector<SystemGeom> systems);

/// The first system with com replaced by the concatenation of all systems' actuators, in order.
/// An empty list fails with the index failure for length 0 and index 0.
SystemGeom merge_com(std::vector<SystemGeom> systems);

}  // namespace vedov
