// Scalar resolution: the null, boolean, number and string readings of scalar text.
#include "vedov/document/scalar.hpp"

#include <optional>

#include "vedov/document/errors.hpp"

namespace vedov::document {

namespace {

constexpr std::string_view standard_tag = "tag:yaml.org,2002:";

std::optional<bool> parse_boolean(std::string_view text) noexcept {
    if (text == "true" || text == "True" || text == "TRUE") return true;
    if (text == "false" || text == "False" || text == "FALSE") return false;
    return std::nullopt;
}

Scalar make(Scalar::Kind kind, std::string_view text) noexcept {
    Scalar s;
    s.kind = kind;
    s.text = text;
    return s;
}

Scalar invalid(std::string_view text, std::string_view expected) noexcept {
    Scalar s = make(Scalar::Kind::invalid, text);
    s.expected = expected;
    return s;
}

Scalar plain_scalar(std::string_view text) noexcept {
    if (is_null_text(text)) return make(Scalar::Kind::null, text);
    if (const auto boolean = parse_boolean(text)) {
        Scalar s = make(Scalar::Kind::boolean, text);
        s.boolean = *boolean;
        return s;
    }
    if (const auto number = parse_number(text)) {
        Scalar s = make(Scalar::Kind::number, text);
        s.number = *number;
        return s;
    }
    return make(Scalar::Kind::string, text);
}

}  // namespace

bool is_null_text(std::string_view text) noexcept {
    return text.empty() || text == "~" || text == "null" || text == "Null" || text == "NULL";
}

Scalar resolve_scalar(std::string_view text, bool plain, std::string_view tag) noexcept {
    if (tag.empty() || (tag[0] == '!' && plain)) {
        return plain ? plain_scalar(text) : make(Scalar::Kind::string, text);
    }
    if (!tag.starts_with(standard_tag)) return make(Scalar::Kind::string, text);
    const std::string_view type = tag.substr(standard_tag.size());
    if (type == "null") {
        return is_null_text(text) ? make(Scalar::Kind::null, text) : invalid(text, expected::null);
    }
    if (type == "bool") {
        const auto boolean = parse_boolean(text);
        if (!boolean) return invalid(text, expected::boolean);
        Scalar s = make(Scalar::Kind::boolean, text);
        s.boolean = *boolean;
        return s;
    }
    if (type == "int" || type == "float") {
        const auto number = parse_number(text);
        const bool wanted_integer = type == "int";
        if (!number || (wanted_integer && number->kind != Number::Kind::integer)) {
            return invalid(text, wanted_integer ? expected::integer : expected::float_number);
        }
        Scalar s = make(Scalar::Kind::number, text);
        s.number = *number;
        if (!wanted_integer) {
            s.number.floating = number->to_double();
            s.number.kind = Number::Kind::floating;
        }
        return s;
    }
    return make(Scalar::Kind::string, text);
}

}  // namespace vedov::document
