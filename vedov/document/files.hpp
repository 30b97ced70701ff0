// Whole-file reading and atomic whole-file replacement for document files.
#pragma once

#include <string>
#include <string_view>

namespace vedov::document {

/// The whole content of the file. A name holding a NUL character is refused before the file
/// system is touched; operating-system errors fail with their Os rendering.
std::string read_file(const std::string& filename);

/// Makes the file hold exactly `text`. A regular file (or a new one) is replaced atomically: the
/// text goes to a temporary file beside it, is flushed to disk, then renamed over the target, so
/// the target holds either its old or its new content and nothing is left behind on failure.
/// An existing file keeps its permission bits (and owner where allowed); a symbolic link is
/// followed and the file it points to replaced. Where the directory refuses the temporary file
/// but the existing file is writable, and for targets that are not regular files (devices,
/// pipes), the text is written in place. Errors as for read_file.
void write_file(const std::string& filename, std::string_view text);

}  // namespace vedov::document
