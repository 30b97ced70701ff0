// What the sanitizer a test program is built with changes about its expectations.
#pragma once

namespace vedov_test {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool address_sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool address_sanitized = true;
#else
inline constexpr bool address_sanitized = false;
#endif
#else
inline constexpr bool address_sanitized = false;
#endif

/// False where the address sanitizer reports an allocation it cannot satisfy and aborts, instead
/// of letting operator new throw std::bad_alloc.
inline constexpr bool allocation_failure_throws = !address_sanitized;

}  // namespace vedov_test
