#include "probe/turn_folder.hpp"

#include "common/os_error.hpp"
#include "wireguard/crypto.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace quorlin {

namespace {

// A hash rather than the keys themselves keeps the name short; 16 bytes keep
// two identities from ever sharing a file.
constexpr std::size_t name_hash_bytes = 16;

std::string file_name(const KeyIdentity& identity) {
    std::array<std::uint8_t, wireguard::hash_bytes> digest{};
    wireguard::hash(digest, {identity.client_public_key, identity.peer_public_key});
    static constexpr char digits[] = "0123456789abcdef";
    std::string name;
    for (std::size_t i = 0; i < name_hash_bytes; ++i) {
        name += digits[digest[i] >> 4];
        name += digits[digest[i] & 0x0f];
    }
    return name + ".turn";
}

std::string mode_text(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

}  // namespace

std::string turn_folder_path() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/quorlin";
    if (::access("/run", W_OK) == 0) return "/run/quorlin";
    return "/tmp/quorlin-" + std::to_string(::geteuid());
}

std::expected<OwnedFd, std::string> open_turn_folder(const std::string& path) {
    const std::string where = "key turn folder " + path + ": ";
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return std::unexpected(where + os_error_text(errno));
    OwnedFd folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder.get() < 0) {
        if (errno == ELOOP || errno == ENOTDIR) return std::unexpected(where + "is a link or not a folder");
        return std::unexpected(where + os_error_text(errno));
    }
    struct stat status {};
    if (::fstat(folder.get(), &status) != 0) return std::unexpected(where + os_error_text(errno));
    if (status.st_uid != ::geteuid()) return std::unexpected(where + "is not owned by this user");
    if ((status.st_mode & 077) != 0) {
        return std::unexpected(where + "is open to other users (mode " + mode_text(status.st_mode) + ")");
    }
    return folder;
}

std::expected<OwnedFd, std::string> open_turn_file(const OwnedFd& folder, const std::string& folder_path,
                                                   const KeyIdentity& identity) {
    const std::string name = file_name(identity);
    const std::string where = "key turn file " + folder_path + "/" + name + ": ";
    // O_NONBLOCK: a FIFO planted under that name must not hang the open.
    OwnedFd file(::openat(folder.get(), name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (file.get() < 0) {
        if (errno == ELOOP) return std::unexpected(where + "is a link");
        return std::unexpected(where + os_error_text(errno));
    }
    struct stat status {};
    if (::fstat(file.get(), &status) != 0) return std::unexpected(where + os_error_text(errno));
    if (!S_ISREG(status.st_mode)) return std::unexpected(where + "is not a regular file");
    if (status.st_uid != ::geteuid()) return std::unexpected(where + "is not owned by this user");
    return file;
}

}  // namespace quorlin
