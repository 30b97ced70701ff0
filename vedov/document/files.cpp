// File access by path: reading whole files, and replacing them through a renamed temporary.
#include "vedov/document/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <random>

#include "vedov/document/errors.hpp"

namespace vedov::document {

namespace {

// Symbolic links followed before the operating system would give up with ELOOP.
constexpr int max_links = 40;

class Descriptor {
public:
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const noexcept { return fd_; }
    /// Closes now; the error number of a failed close, or 0.
    int close() noexcept {
        const int status = ::close(fd_);
        fd_ = -1;
        return status == 0 ? 0 : errno;
    }

private:
    int fd_;
};

void check_name(const std::string& filename) {
    if (filename.find('\0') != std::string::npos) fail_nul_in_file_name();
}

// The error number of a failed write, or 0 once all of `text` is written.
int write_all(int fd, std::string_view text) noexcept {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return 0;
}

std::string directory_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The path with every symbolic link in its last component followed; a dangling link gives the
// path it points to.
std::string follow_links(std::string path) {
    for (int hops = 0;; ++hops) {
        struct stat status;
        if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return path;
        if (hops == max_links) fail_os(ELOOP);
        char target[PATH_MAX];
        const ssize_t length = ::readlink(path.c_str(), target, sizeof target);
        if (length < 0) fail_os(errno);
        if (static_cast<std::size_t>(length) == sizeof target) fail_os(ENAMETOOLONG);
        std::string next(target, static_cast<std::size_t>(length));
        path = next.starts_with('/') ? next : directory_of(path) + next;
    }
}

// Writes in place, truncating first: for targets that cannot be replaced by renaming.
void write_in_place(const std::string& target, std::string_view text) {
    Descriptor fd(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (fd.get() < 0) fail_os(errno);
    if (const int error = write_all(fd.get(), text)) fail_os(error);
    if (const int error = fd.close()) fail_os(error);
}

std::string temporary_name(const std::string& directory) {
    thread_local std::mt19937_64 random{std::random_device{}()};
    static constexpr char hex[] = "0123456789abcdef";
    std::string name = directory + ".vedov-";
    std::uint64_t bits = random();
    for (int k = 0; k < 12; ++k, bits >>= 4) name += hex[bits & 15];
    return name + ".tmp";
}

// Removes the temporary file, then fails with `error`.
[[noreturn]] void abandon(const std::string& temporary, int error) {
    ::unlink(temporary.c_str());
    fail_os(error);
}

}  // namespace

std::string read_file(const std::string& filename) {
    check_name(filename);
    Descriptor fd(::open(filename.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) fail_os(errno);
    struct stat status;
    std::size_t capacity = 4096;
    if (::fstat(fd.get(), &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0) {
        capacity = static_cast<std::size_t>(status.st_size) + 1;  // +1 sees the end at once
    }
    std::string text(capacity, '\0');
    std::size_t size = 0;
    for (;;) {
        if (size == text.size()) text.resize(text.size() * 2);
        const ssize_t got = ::read(fd.get(), text.data() + size, text.size() - size);
        if (got < 0) {
            if (errno == EINTR) continue;
            fail_os(errno);
        }
        if (got == 0) break;
        size += static_cast<std::size_t>(got);
    }
    text.resize(size);
    return text;
}

void write_file(const std::string& filename, std::string_view text) {
    check_name(filename);
    const std::string target = follow_links(filename);
    const std::string directory = directory_of(target);
    if (directory.size() == target.size()) {
        // No file name to replace ("" or "dir/"): whatever opening it says.
        write_in_place(target, text);
        return;
    }

    struct stat existing;
    const bool exists = ::stat(target.c_str(), &existing) == 0;
    if (!exists && errno != ENOENT) fail_os(errno);
    if (exists) {
        // Opening for writing gives the errors a direct write would: a directory, a read-only
        // file, an executable that is running.
        Descriptor probe(::open(target.c_str(), O_WRONLY | O_CLOEXEC));
        if (probe.get() < 0) fail_os(errno);
        if (!S_ISREG(existing.st_mode)) {
            if (const int error = write_all(probe.get(), text)) fail_os(error);
            if (const int error = probe.close()) fail_os(error);
            return;
        }
    }

    std::string temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temporary = temporary_name(directory);
        // A new file gets the mode a direct creation would (0666 less the umask).
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                    exists ? 0600 : 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        const int error = errno;
        if (exists && (error == EACCES || error == EPERM || error == EROFS)) {
            write_in_place(target, text);
            return;
        }
        fail_os(error);
    }
    Descriptor out(fd);
    if (const int error = write_all(fd, text)) abandon(temporary, error);
    if (exists) {
        // The owner first: changing it may clear the set-id bits that fchmod then restores.
        [[maybe_unused]] const int owned = ::fchown(fd, existing.st_uid, existing.st_gid);
        if (::fchmod(fd, existing.st_mode & 07777) != 0) abandon(temporary, errno);
    }
    if (::fsync(fd) != 0) abandon(temporary, errno);
    if (const int error = out.close()) abandon(temporary, error);
    if (::rename(temporary.c_str(), target.c_str()) != 0) abandon(temporary, errno);
    // Make the rename itself durable; a directory that cannot be synced changes nothing above.
    Descriptor dir(::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());
}

}  // namespace vedov::document
