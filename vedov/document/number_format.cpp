// Shortest round-trip float text in the document's layout, and resolution of number scalars.
#include "vedov/document/number_format.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace vedov::document {

namespace {

// The shortest round-trip digits of a finite non-zero |value| and its decimal exponent e, such
// that |value| = 0.DIGITS × 10^e.
struct Digits {
    char digits[20];
    int count;
    int exponent;
};

Digits shortest_digits(double magnitude) noexcept {
    char scientific[40];
    // Shortest scientific form: "d[.ddd]e±XX".
    const auto written = std::to_chars(scientific, scientific + sizeof scientific, magnitude,
                                       std::chars_format::scientific);
    Digits d{};
    const char* p = scientific;
    for (; p != written.ptr && *p != 'e'; ++p) {
        if (*p != '.') d.digits[d.count++] = *p;
    }
    ++p;  // 'e'
    const bool negative_exponent = *p == '-';
    ++p;  // the exponent's sign is always written
    int exponent = 0;
    std::from_chars(p, written.ptr, exponent);
    d.exponent = (negative_exponent ? -exponent : exponent) + 1;
    return d;
}

char* put(char* out, const char* text, std::size_t n) noexcept {
    std::memcpy(out, text, n);
    return out + n;
}

char* put_zeros(char* out, int n) noexcept {
    for (int k = 0; k < n; ++k) *out++ = '0';
    return out;
}

bool is_digit(char c) noexcept {
    return c >= '0' && c <= '9';
}

int digit_value(char c, int base) noexcept {
    int v = 99;
    if (c >= '0' && c <= '9')
        v = c - '0';
    else if (c >= 'a' && c <= 'f')
        v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        v = c - 'A' + 10;
    return v < base ? v : -1;
}

// All of `digits` in `base`, or nothing when one is no digit of the base, there are none, or the
// value needs more than 128 bits.
std::optional<uint128> parse_magnitude(std::string_view digits, int base) noexcept {
    if (digits.empty()) return std::nullopt;
    constexpr uint128 max = ~uint128{0};
    uint128 value = 0;
    for (char c : digits) {
        const int v = digit_value(c, base);
        if (v < 0) return std::nullopt;
        if (value > (max - static_cast<unsigned>(v)) / static_cast<unsigned>(base)) {
            return std::nullopt;
        }
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(v);
    }
    return value;
}

// [digits][.digits] with at least one digit, then an optional exponent [eE][+-]digits.
bool is_decimal_float(std::string_view s) noexcept {
    std::size_t i = 0, mantissa_digits = 0;
    while (i < s.size() && is_digit(s[i])) ++i, ++mantissa_digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && is_digit(s[i])) ++i, ++mantissa_digits;
    }
    if (mantissa_digits == 0) return false;
    if (i == s.size()) return true;
    if (s[i] != 'e' && s[i] != 'E') return false;
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    if (i == s.size()) return false;
    while (i < s.size() && is_digit(s[i])) ++i;
    return i == s.size();
}

// For a decimal float too far from 1 for a double: whether it lies below 1 (it rounds to zero)
// rather than above (it overflows). Only the order of magnitude matters, so the exponent
// saturates.
bool is_below_one(std::string_view s) noexcept {
    std::size_t i = 0;
    long long magnitude = 0;  // the decimal exponent of the leading significant digit, roughly
    bool significant = false;
    for (; i < s.size() && is_digit(s[i]); ++i) {
        if (s[i] != '0') significant = true;
        if (significant) ++magnitude;
    }
    if (i < s.size() && s[i] == '.') {
        for (++i; i < s.size() && is_digit(s[i]) && !significant; ++i) {
            if (s[i] != '0')
                significant = true;
            else
                --magnitude;
        }
        while (i < s.size() && is_digit(s[i])) ++i;
    }
    long long exponent = 0;
    if (i < s.size()) {  // 'e' or 'E'
        ++i;
        const bool negative = s[i] == '-';
        if (s[i] == '+' || s[i] == '-') ++i;
        for (; i < s.size(); ++i) {
            if (exponent < 1'000'000'000) exponent = exponent * 10 + (s[i] - '0');
        }
        if (negative) exponent = -exponent;
    }
    return magnitude + exponent <= 0;
}

std::optional<Number> floating(double value) noexcept {
    Number n;
    n.kind = Number::Kind::floating;
    n.floating = value;
    return n;
}

std::optional<Number> integer(bool negative, uint128 magnitude) noexcept {
    Number n;
    n.kind = Number::Kind::integer;
    n.negative = negative && magnitude != 0;
    n.magnitude = magnitude;
    return n;
}

}  // namespace

char* write_float(char* out, double value) noexcept {
    if (std::isnan(value)) return put(out, ".nan", 4);
    if (std::isinf(value)) return value > 0 ? put(out, ".inf", 4) : put(out, "-.inf", 5);
    if (std::signbit(value)) *out++ = '-';
    if (value == 0) return put(out, "0.0", 3);

    const Digits d = shortest_digits(std::fabs(value));
    const int n = d.count, e = d.exponent;
    if (n <= e && e <= 16) {
        out = put(out, d.digits, static_cast<std::size_t>(n));
        out = put_zeros(out, e - n);
        return put(out, ".0", 2);
    }
    if (0 < e && e <= 16) {
        out = put(out, d.digits, static_cast<std::size_t>(e));
        *out++ = '.';
        return put(out, d.digits + e, static_cast<std::size_t>(n - e));
    }
    if (-5 < e && e <= 0) {
        out = put(out, "0.", 2);
        out = put_zeros(out, -e);
        return put(out, d.digits, static_cast<std::size_t>(n));
    }
    *out++ = d.digits[0];
    if (n > 1) {
        *out++ = '.';
        out = put(out, d.digits + 1, static_cast<std::size_t>(n - 1));
    }
    *out++ = 'e';
    return std::to_chars(out, out + 8, e - 1).ptr;
}

void append_float(std::string& text, double value) {
    char buffer[max_float_text];
    text.append(buffer, write_float(buffer, value));
}

std::string describe_float(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    std::string text = std::signbit(value) ? "-" : "";
    if (value == 0) return text + "0.0";
    const Digits d = shortest_digits(std::fabs(value));
    const std::string_view digits(d.digits, static_cast<std::size_t>(d.count));
    if (d.exponent >= d.count) {
        text.append(digits).append(static_cast<std::size_t>(d.exponent - d.count), '0');
        text += ".0";
    } else if (d.exponent > 0) {
        const auto split = static_cast<std::size_t>(d.exponent);
        text.append(digits.substr(0, split)).append(".").append(digits.substr(split));
    } else {
        text.append("0.").append(static_cast<std::size_t>(-d.exponent), '0').append(digits);
    }
    return text;
}

double Number::to_double() const noexcept {
    if (kind == Kind::floating) return floating;
    const double m = static_cast<double>(magnitude);  // rounds to nearest, ties to even
    return negative ? -m : m;
}

std::string Number::integer_text() const {
    char digits[48];
    char* p = digits + sizeof digits;
    uint128 rest = magnitude;
    do {
        *--p = static_cast<char>('0' + static_cast<int>(rest % 10));
        rest /= 10;
    } while (rest != 0);
    if (negative) *--p = '-';
    return std::string(p, digits + sizeof digits);
}

std::optional<Number> parse_number(std::string_view text) noexcept {
    if (text == ".nan" || text == ".NaN" || text == ".NAN") {
        return floating(std::numeric_limits<double>::quiet_NaN());
    }
    bool negative = false;
    std::string_view rest = text;
    if (!rest.empty() && (rest[0] == '+' || rest[0] == '-')) {
        negative = rest[0] == '-';
        rest.remove_prefix(1);
    }
    if (rest == ".inf" || rest == ".Inf" || rest == ".INF") {
        return floating(negative ? -std::numeric_limits<double>::infinity()
                                 : std::numeric_limits<double>::infinity());
    }
    if (rest.size() >= 2 && rest[0] == '0') {
        const int base = rest[1] == 'x' ? 16 : rest[1] == 'o' ? 8 : rest[1] == 'b' ? 2 : 0;
        if (base != 0) {
            const auto magnitude = parse_magnitude(rest.substr(2), base);
            if (!magnitude) return std::nullopt;
            if (negative && *magnitude > (uint128{1} << 127)) return std::nullopt;
            return integer(negative, *magnitude);
        }
    }
    if (!is_decimal_float(rest)) return std::nullopt;
    const bool all_digits = rest.find_first_not_of("0123456789") == std::string_view::npos;
    if (all_digits) {
        // A leading zero followed by more digits is text, neither integer nor float.
        if (rest.size() > 1 && rest[0] == '0') return std::nullopt;
        const auto magnitude = parse_magnitude(rest, 10);
        if (magnitude && (!negative || *magnitude <= (uint128{1} << 127))) {
            return integer(negative, *magnitude);
        }
        // Beyond 128 bits: the digits still read as a float.
    }
    // from_chars takes no leading '+'.
    const std::string_view digits = text[0] == '+' ? text.substr(1) : text;
    double value = 0.0;
    const auto parsed = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (parsed.ec == std::errc::result_out_of_range) {
        if (!is_below_one(rest)) return std::nullopt;
        value = negative ? -0.0 : 0.0;
    } else if (parsed.ec != std::errc{} || parsed.ptr != digits.data() + digits.size()) {
        return std::nullopt;
    }
    return floating(value);
}

}  // namespace vedov::document
