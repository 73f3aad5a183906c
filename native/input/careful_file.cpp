#include "input/careful_file.hpp"

#include "common/os_error.hpp"
#include "common/owned_fd.hpp"
#include "common/utf8.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

namespace quorlin::input {

namespace {

constexpr std::size_t minimum_growth_bytes = 64;

// The messages, with the path shown as text (ill-formed UTF-8 replaced).
struct Messages {
    std::string_view kind;
    std::string_view path;
    std::size_t limit_bytes;

    std::string with_error(std::string_view what, int error) const {
        return std::string(what) + " " + std::string(kind) + " file " + lossy_utf8(path) + ": " + os_error_text(error);
    }
    std::string cannot_inspect(int error) const { return with_error("could not inspect", error); }
    std::string cannot_open(int error) const { return with_error("could not open", error); }
    std::string cannot_inspect_open(int error) const { return with_error("could not inspect open", error); }
    std::string cannot_read(int error) const { return with_error("could not read", error); }
    std::string not_regular() const {
        return std::string(kind) + " path " + lossy_utf8(path) + " must be a regular file";
    }
    std::string too_large() const {
        return std::string(kind) + " file " + lossy_utf8(path) + " exceeds the " + std::to_string(limit_bytes) +
               "-byte limit";
    }
};

bool too_large(const struct stat& status, std::size_t limit_bytes) {
    return static_cast<std::uintmax_t>(status.st_size) > limit_bytes;
}

}  // namespace

std::expected<SecretBuffer, std::string> read_file_carefully(const std::string& path, std::string_view kind,
                                                             std::size_t limit_bytes, std::string_view shown) {
    const Messages messages{kind, shown.empty() ? std::string_view(path) : shown, limit_bytes};
    // A path with a NUL byte cannot name any file; the system would see a
    // shorter one.
    if (path.find('\0') != std::string::npos) return std::unexpected(messages.cannot_inspect(EINVAL));

    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) return std::unexpected(messages.cannot_inspect(errno));
    if (!S_ISREG(status.st_mode)) return std::unexpected(messages.not_regular());
    if (too_large(status, limit_bytes)) return std::unexpected(messages.too_large());

    // O_NOFOLLOW and O_NONBLOCK: if the path is swapped for a link or a pipe
    // after the check above, the open neither follows it nor blocks, and the
    // status of the open file below refuses it.
    const OwnedFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    if (file.get() < 0) return std::unexpected(messages.cannot_open(errno));
    if (::fstat(file.get(), &status) != 0) return std::unexpected(messages.cannot_inspect_open(errno));
    if (!S_ISREG(status.st_mode)) return std::unexpected(messages.not_regular());
    if (too_large(status, limit_bytes)) return std::unexpected(messages.too_large());

    // One byte beyond the limit is enough to tell that the file grew past it;
    // room for it up front lets the end-of-file read land without regrowing.
    const std::size_t read_limit = limit_bytes + 1;
    SecretBuffer contents(std::min(static_cast<std::size_t>(status.st_size) + 1, read_limit));
    while (contents.size() < read_limit) {
        if (contents.spare().empty()) {
            contents.reserve(std::min(read_limit, std::max(contents.capacity() * 2, minimum_growth_bytes)));
        }
        const std::size_t room = std::min(contents.spare().size(), read_limit - contents.size());
        const ssize_t count = ::read(file.get(), contents.spare().data(), room);
        if (count < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(messages.cannot_read(errno));  // the partial contents are wiped on return
        }
        if (count == 0) break;
        contents.commit(static_cast<std::size_t>(count));
    }
    if (contents.size() > limit_bytes) return std::unexpected(messages.too_large());
    return contents;
}

}  // namespace quorlin::input
