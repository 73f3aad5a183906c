#pragma once
// Where key turns are kept: a folder only this user can enter, its lock files
// created by this user alone. Links are refused at every step, so another user
// cannot point a prober's lock file elsewhere.
//
// Taking a turn must not serialise unrelated probes: a process opens the
// folder once (mkdir takes its parent's lock exclusively) and opens an
// existing lock file without O_CREAT (which takes the folder's lock
// exclusively); only a missing file is created. Lock files are spread over
// 256 subfolders named by the first two hex digits of their name, so that
// many probes creating their files at once (a fleet of new keys) rarely
// queue on one folder's lock.

#include "common/owned_fd.hpp"
#include "probe/key_turn.hpp"

#include <expected>
#include <memory>
#include <string>
#include <string_view>

namespace quorlin {

// $XDG_RUNTIME_DIR/quorlin when that variable names an absolute folder;
// else /run/quorlin when /run is writable (root); else /tmp/quorlin-UID.
std::string turn_folder_path();

// The folder at `path`, created with mode 0700 when missing; refused unless it
// is a real folder (not a link) owned by this user and closed to others.
std::expected<OwnedFd, std::string> open_turn_folder(const std::string& path);

// The folder at `path` as this process opened it, shared by its turns. Opened
// by open_turn_folder the first time, and again whenever the path no longer
// names that folder; otherwise one lstat checks it is still this user's and
// closed to others.
std::expected<std::shared_ptr<const OwnedFd>, std::string> current_turn_folder(const std::string& path);

// The lock file's name for `identity`: a hash of the two public keys.
std::string turn_file_name(const KeyIdentity& identity);

// The subfolder that holds the lock file `file_name`: its first two hex digits.
std::string turn_shard_name(const std::string& file_name);

// Whether `name` is one a subfolder of lock files can have.
bool is_turn_shard_name(std::string_view name);

// The subfolder `shard` of the folder, created with mode 0700 when missing
// (unless `create` is false: the clean-up never makes one); refused as the
// folder itself is (a link, not a folder, another user's, open to others).
std::expected<OwnedFd, std::string> open_turn_shard(const OwnedFd& folder, const std::string& folder_path,
                                                    const std::string& shard, bool create = true);

// The lock file `name` inside the (sub)folder, created with mode 0600 when
// missing. Refused unless it is a regular file owned by this user.
std::expected<OwnedFd, std::string> open_turn_file(const OwnedFd& folder, const std::string& folder_path,
                                                   const std::string& name);

// Whether `name` (a path below the folder) still names the file open as
// `fd`: a lock taken on a file that was removed meanwhile guards nothing.
bool still_named(const OwnedFd& folder, const std::string& name, int fd);

}  // namespace quorlin
