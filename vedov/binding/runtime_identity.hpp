// The identity of the build the shared runtime comes from, for the companion's check before use.
#pragma once

namespace vedov::binding {

/// A hash of the sources, compiler and flags this runtime was built from.
const char* runtime_build_id() noexcept;

}  // namespace vedov::binding
