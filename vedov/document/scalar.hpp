// Resolution of scalar nodes to null, booleans, numbers and strings, by style and tag.
#pragma once

#include <string_view>

#include "vedov/document/number_format.hpp"

namespace vedov::document {

struct Scalar {
    enum class Kind { null, boolean, number, string, invalid };
    Kind kind = Kind::string;
    bool boolean = false;
    Number number;
    std::string_view text;      ///< the scalar's text
    std::string_view expected;  ///< invalid: what its tag asked for ("an integer", ...)
};

/// True for the texts of null: empty, ~, null, Null, NULL.
bool is_null_text(std::string_view text) noexcept;

/// What a scalar stands for. Untagged plain scalars (and plain scalars with a local tag) resolve
/// to null, a boolean (true, True, TRUE, false, False, FALSE), a number (parse_number) or else a
/// string; the standard tags !!null, !!bool, !!int, !!float and !!str resolve their text as that
/// type or are invalid; every other scalar is a string.
Scalar resolve_scalar(std::string_view text, bool plain, std::string_view tag) noexcept;

}  // namespace vedov::document
