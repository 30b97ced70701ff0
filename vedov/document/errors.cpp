// Renderings of the document's errors and the table of error-kind names.
#include "vedov/document/errors.hpp"

#include <cerrno>
#include <cstring>

#include "vedov/document/number_format.hpp"
#include "zam/failure.hpp"

namespace vedov::document {

namespace {

struct KindName {
    int code;
    const char* name;
};

// Error numbers by kind; numbers missing here are Uncategorized.
constexpr KindName kind_names[] = {
    {ENOENT, "NotFound"},
    {EACCES, "PermissionDenied"},
    {EPERM, "PermissionDenied"},
    {EISDIR, "IsADirectory"},
    {ENOTDIR, "NotADirectory"},
    {EEXIST, "AlreadyExists"},
    {EINVAL, "InvalidInput"},
    {ENOSPC, "StorageFull"},
    {EROFS, "ReadOnlyFilesystem"},
    {ELOOP, "FilesystemLoop"},
    {ENAMETOOLONG, "InvalidFilename"},
    {EBUSY, "ResourceBusy"},
    {ETXTBSY, "ExecutableFileBusy"},
    {EFBIG, "FileTooLarge"},
    {EDQUOT, "QuotaExceeded"},
    {EMLINK, "TooManyLinks"},
    {EXDEV, "CrossesDevices"},
    {ESPIPE, "NotSeekable"},
    {ENOTEMPTY, "DirectoryNotEmpty"},
    {EINTR, "Interrupted"},
    {EAGAIN, "WouldBlock"},
    {EWOULDBLOCK, "WouldBlock"},
    {ETIMEDOUT, "TimedOut"},
    {ENOMEM, "OutOfMemory"},
    {ENOSYS, "Unsupported"},
    {E2BIG, "ArgumentListTooLong"},
    {EDEADLK, "Deadlock"},
    {ESTALE, "StaleNetworkFileHandle"},
    {EPIPE, "BrokenPipe"},
    {EADDRINUSE, "AddrInUse"},
    {EADDRNOTAVAIL, "AddrNotAvailable"},
    {ECONNABORTED, "ConnectionAborted"},
    {ECONNREFUSED, "ConnectionRefused"},
    {ECONNRESET, "ConnectionReset"},
    {EHOSTUNREACH, "HostUnreachable"},
    {ENETDOWN, "NetworkDown"},
    {ENETUNREACH, "NetworkUnreachable"},
    {ENOTCONN, "NotConnected"},
    {EINPROGRESS, "InProgress"},
};

[[noreturn]] void fail(std::string rendering) {
    std::string message(failure_prefix);
    message += rendering;
    throw zam::Failure(std::move(message));
}

std::string render_mark(const Mark& mark) {
    return "Mark { line: " + std::to_string(mark.line) +
           ", column: " + std::to_string(mark.column) + " }";
}

// strerror_r comes in two flavours; either way the text ends up in one of these.
[[maybe_unused]] const char* error_text(int status, const char* buffer) {
    return status == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* error_text(const char* text, const char*) {
    return text;
}

void append_hex(std::string& out, unsigned value) {
    char digits[8];
    int n = 0;
    do {
        digits[n++] = "0123456789abcdef"[value % 16];
        value /= 16;
    } while (value != 0);
    while (n > 0) out += digits[--n];
}

}  // namespace

const char* os_error_kind(int code) noexcept {
    for (const KindName& entry : kind_names) {
        if (entry.code == code) return entry.name;
    }
    return "Uncategorized";
}

void fail_os(int code) {
    char buffer[256] = {};
    const char* message = error_text(strerror_r(code, buffer, sizeof buffer), buffer);
    fail("Os { code: " + std::to_string(code) + ", kind: " + os_error_kind(code) +
         ", message: " + quoted(message) + " }");
}

void fail_invalid_utf8() {
    fail("Error { kind: InvalidData, message: " + quoted("stream did not contain valid UTF-8") +
         " }");
}

void fail_nul_in_file_name() {
    fail("Error { kind: InvalidInput, message: " +
         quoted("file name contained an unexpected NUL byte") + " }");
}

void fail_syntax(const SyntaxError& error) {
    std::string text = "Error { kind: ";
    text += error.stage;
    text += ", problem: " + quoted(error.problem);
    text += ", problem_mark: " + render_mark(error.problem_mark);
    if (error.context) {
        text += ", context: " + quoted(*error.context);
        text += ", context_mark: " + render_mark(error.context_mark);
    }
    fail(text + " }");
}

void fail_emitter(std::string_view problem) {
    fail("Error { kind: EMITTER, problem: " + quoted(problem) + " }");
}

void fail_content(std::string_view path, std::string_view message, std::optional<Mark> mark) {
    std::string full;
    if (!path.empty()) full.append(path).append(": ");
    full.append(message);
    std::string text = "Error(" + quoted(full);
    if (mark) {
        text +=
            ", line: " + std::to_string(mark->line) + ", column: " + std::to_string(mark->column);
    }
    fail(text + ")");
}

namespace found {

std::string string(std::string_view text) {
    return "string " + quoted(text);
}

std::string number(const Number& number) {
    if (number.kind == Number::Kind::integer) return "integer `" + number.integer_text() + "`";
    return "floating point `" + describe_float(number.floating) + "`";
}

std::string boolean(bool value) {
    return value ? "boolean `true`" : "boolean `false`";
}

}  // namespace found

std::string missing_field(std::string_view name) {
    return "missing field `" + std::string(name) + "`";
}

std::string duplicate_field(std::string_view name) {
    return "duplicate field `" + std::string(name) + "`";
}

std::string unknown_variant(std::string_view name, std::span<const std::string_view> variants) {
    std::string text = "unknown variant `" + std::string(name) + "`, expected one of ";
    for (std::size_t k = 0; k < variants.size(); ++k) {
        if (k > 0) text += ", ";
        text.append("`").append(variants[k]).append("`");
    }
    return text;
}

std::string invalid_type(std::string_view found, std::string_view expected) {
    return "invalid type: " + std::string(found) + ", expected " + std::string(expected);
}

std::string invalid_value(std::string_view found, std::string_view expected) {
    return "invalid value: " + std::string(found) + ", expected " + std::string(expected);
}

std::string invalid_length(std::uint64_t length, std::string_view expected) {
    return "invalid length " + std::to_string(length) + ", expected " + std::string(expected);
}

std::string quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    out += "\\u{";
                    append_hex(out, c);
                    out += '}';
                } else if (c == 0xC2 && i + 1 < text.size() &&
                           static_cast<unsigned char>(text[i + 1]) < 0xA0) {
                    // U+0080..U+009F, the second block of control characters: the code
                    // point equals the second byte.
                    out += "\\u{";
                    append_hex(out, static_cast<unsigned char>(text[++i]));
                    out += '}';
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
    return out;
}

}  // namespace vedov::document
