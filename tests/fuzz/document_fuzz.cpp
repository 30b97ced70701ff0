// Fuzzer entry over document text: any input gives a system or a failure; read systems round-trip.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include "vedov/document/document.hpp"
#include "vedov/products.hpp"
#include "zam/core.hpp"
#include "zam/failure.hpp"

namespace {

// Lines in the bundles of every list of measurements, or more than `limit` once past it.
std::size_t lines_within(const vedov::SystemGeom& s, std::size_t limit) {
    std::size_t lines = 0;
    for (const auto* list : {&s.meas, &s.phi, &s.ts}) {
        for (const zam::Measurement& m : *list) {
            try {
                lines += zam::bundle_size(m);
            } catch (const zam::Failure&) {
                return limit + 1;  // a bundle no memory could hold
            }
            if (lines > limit) return lines;
        }
    }
    return lines;
}

// Small enough that both products take well under a millisecond.
bool small(const vedov::SystemGeom& s) {
    return lines_within(s, 64) <= 64 && s.com.size() <= 64 && s.cov_model.size() <= 8 &&
           s.meas_lines.size() <= 64 && (!s.pupil || s.pupil->spiders.size() <= 8);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    vedov::SystemGeom system;
    try {
        system = vedov::from_yaml(text);
    } catch (const zam::Failure&) {
        return 0;  // refusing the document is a correct answer
    }
    // Whatever was read must write a document that reads back to the same record, so writes the
    // same text again.
    const std::string saved = vedov::to_yaml(system);
    try {
        if (vedov::to_yaml(vedov::from_yaml(saved)) != saved) std::abort();
    } catch (const zam::Failure&) {
        std::abort();
    }
    // Any numbers a document can hold give results (IEEE values), never undefined behaviour.
    if (small(system)) {
        vedov::system_matrices(system);
        vedov::recon_matrices(system);
    }
    return 0;
}
