#include "fleet/followed_path.hpp"

#include "common/os_error.hpp"
#include "common/utf8.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

namespace quorlin::fleet {

std::expected<std::string, std::string> followed_path(const std::string& path, std::string_view kind) {
    // A NUL byte would cut the path short; the careful reader refuses it.
    if (path.find('\0') != std::string::npos) return path;
    const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
    if (resolved) return std::string(resolved.get());
    const int error = errno;
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return path;
    const std::string named = std::string(kind) + " file " + lossy_utf8(path);
    if (error == ENOENT) return std::unexpected(named + " is a link to a file that does not exist");
    if (error == ELOOP) return std::unexpected(named + " is a link loop: " + os_error_text(error));
    return std::unexpected("could not follow the link " + named + ": " + os_error_text(error));
}

}  // namespace quorlin::fleet
