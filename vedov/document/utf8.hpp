// Validation of document text as UTF-8.
#pragma once

#include <string_view>

namespace vedov::document {

/// True when `text` is well-formed UTF-8: no stray continuation bytes, no overlong forms, no
/// surrogates, nothing beyond U+10FFFF, no truncated sequence at the end.
bool is_valid_utf8(std::string_view text) noexcept;

}  // namespace vedov::document
