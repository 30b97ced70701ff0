// Fuzzer entry over document text: any input gives a system or a failure, and read systems
// round-trip.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "vedov/document/document.hpp"
#include "zam/failure.hpp"

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
        if (vedov::to_yaml(vedov::from_yaml(saved)) == saved) return 0;
    } catch (const zam::Failure&) {
        // reported below
    }
    std::abort();
}
