// Every failure text of the system document and how each kind of error is rendered.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vedov::document {

struct Number;

/// Position in the document text, both 1-based.
struct Mark {
    std::uint64_t line;
    std::uint64_t column;
};

/// Every document failure message starts with this.
inline constexpr std::string_view failure_prefix = "called `Result::unwrap()` on an `Err` value: ";

// Each fail_* throws zam::Failure carrying failure_prefix and the rendered error.

/// The name of the error kind of an error number: NotFound, PermissionDenied, ..., and
/// Uncategorized for numbers without a kind of their own.
const char* os_error_kind(int code) noexcept;

/// Os { code: C, kind: K, message: "strerror text" }.
[[noreturn]] void fail_os(int code);
/// Error { kind: InvalidData, message: "stream did not contain valid UTF-8" }.
[[noreturn]] void fail_invalid_utf8();
/// Error { kind: InvalidInput, message: "file name contained an unexpected NUL byte" }.
[[noreturn]] void fail_nul_in_file_name();

/// A syntax error as the YAML parser reports it. `stage` is MEMORY, READER, SCANNER, PARSER or
/// COMPOSER.
struct SyntaxError {
    const char* stage;
    std::string problem;
    Mark problem_mark;
    std::optional<std::string> context;
    Mark context_mark;
};

/// Error { kind: STAGE, problem: "...", problem_mark: Mark { line: L, column: C }[, context:
/// "...", context_mark: Mark { ... }] }.
[[noreturn]] void fail_syntax(const SyntaxError& error);

/// Error { kind: EMITTER, problem: "..." }: the YAML emitter refused an event.
[[noreturn]] void fail_emitter(std::string_view problem);

/// Error("PATH: MESSAGE", line: L, column: C): the path is left out for the root (empty path),
/// the position when unknown.
[[noreturn]] void fail_content(std::string_view path, std::string_view message,
                               std::optional<Mark> mark);

/// Content errors without a node of their own.
namespace text {
inline constexpr std::string_view end_of_stream = "EOF while parsing a value";
inline constexpr std::string_view more_than_one_document =
    "deserializing from YAML containing more than one document is not supported";
inline constexpr std::string_view recursion_limit = "recursion limit exceeded";
inline constexpr std::string_view repetition_limit = "repetition limit exceeded";
inline constexpr std::string_view unknown_anchor = "unknown anchor";
inline constexpr std::string_view merge_needs_mapping =
    "expected a mapping or list of mappings for merging, but found scalar";
inline constexpr std::string_view merge_element_scalar =
    "expected a mapping for merging, but found scalar";
inline constexpr std::string_view merge_element_sequence =
    "expected a mapping for merging, but found sequence";
}  // namespace text

/// What the reader expected, as messages name it; a record is "struct NAME", an alternative of a
/// variant "struct variant VARIANT::NAME", with the names of the document's schema.
namespace expected {
inline constexpr std::string_view sequence = "a sequence";
inline constexpr std::string_view spider = "a tuple of size 2";
inline constexpr std::string_view spider_points = "sequence of 2 elements";
inline constexpr std::string_view field_identifier = "field identifier";
inline constexpr std::string_view tag = "a YAML tag starting with '!'";
inline constexpr std::string_view struct_variant = "struct variant";
inline constexpr std::string_view unit = "unit";
inline constexpr std::string_view null = "null";
inline constexpr std::string_view f64 = "f64";
inline constexpr std::string_view u64 = "u64";
inline constexpr std::string_view boolean = "a boolean";
inline constexpr std::string_view integer = "an integer";
inline constexpr std::string_view float_number = "a float";
}  // namespace expected

/// How messages describe what was found.
namespace found {
inline constexpr std::string_view unit = "unit value";
inline constexpr std::string_view map = "map";
inline constexpr std::string_view sequence = "sequence";
inline constexpr std::string_view unit_variant = "unit variant";
std::string string(std::string_view text);  ///< string "text"
std::string number(const Number& number);   ///< integer `4` or floating point `4.5`
std::string boolean(bool value);            ///< boolean `true`
}  // namespace found

/// The texts of the content errors.
std::string missing_field(std::string_view name);
std::string duplicate_field(std::string_view name);
std::string unknown_variant(std::string_view name, std::span<const std::string_view> variants);
std::string invalid_type(std::string_view found, std::string_view expected);
std::string invalid_value(std::string_view found, std::string_view expected);
std::string invalid_length(std::uint64_t length, std::string_view expected);

/// `text` in double quotes, with quotes, backslashes and control characters escaped by a
/// backslash (\", \\, \n, \t, \r, \0, \u{1b}).
std::string quoted(std::string_view text);

}  // namespace vedov::document
