#pragma once
// Where key turns are kept: a folder only this user can enter, its lock files
// created by this user alone. Links are refused at every step, so another user
// cannot point a prober's lock file elsewhere.

#include "common/owned_fd.hpp"
#include "probe/key_turn.hpp"

#include <expected>
#include <string>

namespace quorlin {

// $XDG_RUNTIME_DIR/quorlin when that variable names an absolute folder;
// else /run/quorlin when /run is writable (root); else /tmp/quorlin-UID.
std::string turn_folder_path();

// The folder at `path`, created with mode 0700 when missing; refused unless it
// is a real folder (not a link) owned by this user and closed to others.
std::expected<OwnedFd, std::string> open_turn_folder(const std::string& path);

// The lock file of `identity` inside the folder, created with mode 0600; its
// name is a hash of the two public keys. Refused unless it is a regular file
// owned by this user.
std::expected<OwnedFd, std::string> open_turn_file(const OwnedFd& folder, const std::string& folder_path,
                                                   const KeyIdentity& identity);

}  // namespace quorlin
