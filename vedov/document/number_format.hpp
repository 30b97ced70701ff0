// Number format of the system document: shortest round-trip floats and the resolution of numbers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vedov::document {

__extension__ typedef unsigned __int128 uint128;

/// Longest text append_float writes ("-1.2345678901234567e-308" is 24 characters).
inline constexpr std::size_t max_float_text = 32;

/// Writes `value` in the document's number format: .nan, .inf, -.inf, 0.0, -0.0, or the shortest
/// digits that read back as the same value, in positional form for exponents -5 < e <= 16 and in
/// exponent form (1e16, 1.5e-7) otherwise. Returns the end of the text; `out` holds
/// max_float_text characters.
char* write_float(char* out, double value) noexcept;

/// The same text, appended to `text`.
void append_float(std::string& text, double value);

/// The shortest round-trip digits of a finite value in positional notation with at least one
/// decimal ("4.0", "0.0000001", "-0.0"), or NaN, inf and -inf: how messages show a float.
std::string describe_float(double value);

/// A plain scalar that the document reads as a number. Integers keep their exact value as a sign
/// and a magnitude of up to 128 bits; everything else is a double.
struct Number {
    enum class Kind { integer, floating };
    Kind kind = Kind::integer;
    bool negative = false;  ///< integers only ("-0" is the integer 0, not negative)
    uint128 magnitude = 0;  ///< integers only
    double floating = 0.0;  ///< floats only

    /// The value as a double, rounded to nearest for integers beyond 2^53.
    double to_double() const noexcept;
    /// The integer's decimal text with its sign.
    std::string integer_text() const;
};

/// Resolves plain-scalar text to a number, or nothing when the text is not one:
/// integers [+-]digits (a leading zero only as the sole digit), [+]0x/0o/0b digits and
/// -0x/-0o/-0b digits; decimal floats [+-](digits[.digits]|.digits)[e[+-]digits] that are finite
/// (values too small for a double read as zero of their sign; too large ones are not numbers);
/// .inf, .Inf, .INF with an optional sign; .nan, .NaN, .NAN.
std::optional<Number> parse_number(std::string_view text) noexcept;

}  // namespace vedov::document
