// The message of the internal failure a call raises, for tests of failure texts.
#pragma once

#include <string>

#include "zam/failure.hpp"

namespace vedov_test {

/// The message of the zam::Failure that `call` throws, or "no failure".
template <class Call>
std::string failure_message(Call&& call) {
    try {
        call();
    } catch (const zam::Failure& f) {
        return f.message();
    }
    return "no failure";
}

}  // namespace vedov_test
