// The shared runtime's identity, compiled in from the generated header.
#include "vedov/binding/runtime_identity.hpp"

#include "vedov_build_id.hpp"

namespace vedov::binding {

const char* runtime_build_id() noexcept {
    return VEDOV_BUILD_ID;
}

}  // namespace vedov::binding
