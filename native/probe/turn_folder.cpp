#include "probe/turn_folder.hpp"

#include "common/os_error.hpp"
#include "wireguard/crypto.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <shared_mutex>

namespace quorlin {

namespace {

// A hash rather than the keys themselves keeps the name short; 16 bytes keep
// two identities from ever sharing a file.
constexpr std::size_t name_hash_bytes = 16;

// 256 subfolders: 10,000 keys created at once meet about 40 to a folder.
constexpr std::size_t shard_name_digits = 2;

std::string mode_text(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// The folder `name` relative to `at`, created with mode 0700 when missing
// and asked to, refused unless a real folder of this user's closed to others;
// `shown` is its path in messages.
std::expected<OwnedFd, std::string> open_private_folder(int at, const std::string& name, const std::string& shown,
                                                        bool create) {
    const std::string where = "key turn folder " + shown + ": ";
    constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    // mkdir only when missing: it locks the parent folder even when it fails.
    int opened = ::openat(at, name.c_str(), flags);
    if (opened < 0 && errno == ENOENT && create) {
        if (::mkdirat(at, name.c_str(), 0700) != 0 && errno != EEXIST) {
            return std::unexpected(where + os_error_text(errno));
        }
        opened = ::openat(at, name.c_str(), flags);
    }
    OwnedFd folder(opened);
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

struct OpenedFolder {
    std::shared_ptr<const OwnedFd> fd;
    struct stat status {};
};

// The folders this process opened, by path. Lives as long as the process: a
// detached fleet worker may take a turn during exit. Every turn looks its
// folder up: lookups share the lock, so that they never queue behind one
// another.
class OpenedFolders {
public:
    std::optional<OpenedFolder> find(const std::string& path) {
        const std::shared_lock lock(mutex_);
        const auto found = folders_.find(path);
        if (found == folders_.end()) return std::nullopt;
        return found->second;
    }
    void keep(const std::string& path, OpenedFolder folder) {
        const std::lock_guard lock(mutex_);
        folders_.insert_or_assign(path, std::move(folder));
    }
    void forget(const std::string& path) {
        const std::lock_guard lock(mutex_);
        folders_.erase(path);
    }

private:
    std::shared_mutex mutex_;
    std::map<std::string, OpenedFolder> folders_;
};

OpenedFolders& opened_folders() {
    static OpenedFolders* const folders = new OpenedFolders;
    return *folders;
}

}  // namespace

std::string turn_file_name(const KeyIdentity& identity) {
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

std::string turn_shard_name(const std::string& file_name) { return file_name.substr(0, shard_name_digits); }

bool is_turn_shard_name(std::string_view name) {
    return name.size() == shard_name_digits &&
           std::ranges::all_of(name, [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::string turn_folder_path() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/quorlin";
    if (::access("/run", W_OK) == 0) return "/run/quorlin";
    return "/tmp/quorlin-" + std::to_string(::geteuid());
}

std::expected<OwnedFd, std::string> open_turn_folder(const std::string& path) {
    return open_private_folder(AT_FDCWD, path, path, true);
}

std::expected<OwnedFd, std::string> open_turn_shard(const OwnedFd& folder, const std::string& folder_path,
                                                    const std::string& shard, bool create) {
    return open_private_folder(folder.get(), shard, folder_path + "/" + shard, create);
}

std::expected<std::shared_ptr<const OwnedFd>, std::string> current_turn_folder(const std::string& path) {
    if (std::optional<OpenedFolder> opened = opened_folders().find(path)) {
        // Removed folders keep their descriptors working in part: the
        // link count tells, since a new folder may reuse the inode number.
        struct stat now {};
        struct stat held {};
        if (::lstat(path.c_str(), &now) == 0 && same_file(now, opened->status) && S_ISDIR(now.st_mode) &&
            now.st_uid == ::geteuid() && (now.st_mode & 077) == 0 && ::fstat(opened->fd->get(), &held) == 0 &&
            held.st_nlink > 0) {
            return std::move(opened->fd);
        }
    }
    // New, replaced, or changed since: opened and checked again.
    auto folder = open_turn_folder(path);
    if (!folder) {
        opened_folders().forget(path);
        return std::unexpected(std::move(folder.error()));
    }
    OpenedFolder opened{std::make_shared<const OwnedFd>(std::move(*folder)), {}};
    if (::fstat(opened.fd->get(), &opened.status) != 0) {
        return std::unexpected("key turn folder " + path + ": " + os_error_text(errno));
    }
    opened_folders().keep(path, opened);
    return std::move(opened.fd);
}

std::expected<OwnedFd, std::string> open_turn_file(const OwnedFd& folder, const std::string& folder_path,
                                                   const std::string& name) {
    const std::string where = "key turn file " + folder_path + "/" + name + ": ";
    // O_NONBLOCK: a FIFO planted under that name must not hang the open.
    constexpr int flags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int opened = ::openat(folder.get(), name.c_str(), flags);
    if (opened < 0 && errno == ENOENT) opened = ::openat(folder.get(), name.c_str(), flags | O_CREAT, 0600);
    OwnedFd file(opened);
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

bool still_named(const OwnedFd& folder, const std::string& name, int fd) {
    struct stat named {};
    struct stat opened {};
    return ::fstatat(folder.get(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && ::fstat(fd, &opened) == 0 &&
           same_file(named, opened);
}

}  // namespace quorlin
