// The private calling convention between the companion's Python layer and its compiled part.
#pragma once

#include <cstddef>
#include <string>

#include "vedov/binding/python.hpp"
#include "vedov/system_geom.hpp"
#include "vedovx/native/requests.hpp"
#include "zam/parallel.hpp"

namespace vedovx {

/// The name of a list ("meas", ...), or ValueError naming `argument`.
List to_list(PyObject* name, const char* argument);

/// A selection: None for every entry, or (address, count) of `count` int64 indices the caller keeps
/// alive for the call; each must be less than `entries`, or ValueError naming `argument`.
Selection to_selection(PyObject* object, std::size_t entries, const char* argument);

/// Storage: (address, rows, cols, row_stride, itemsize) of a writable array of float64
/// (itemsize 8) or float32 (itemsize 4) whose columns are contiguous, with row_stride in elements;
/// the caller keeps it alive for the call. It must be rows × cols as given by `rows`, `cols`, or
/// ValueError naming "out".
zam::Target to_target(PyObject* object, std::size_t rows, std::size_t cols);

/// A worker count: 0 for the process-wide pool.
std::size_t to_threads(PyObject* object);

}  // namespace vedovx
