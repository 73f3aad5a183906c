#pragma once
// The clean-up of the key turn folder: without it, every key pair ever
// probed would leave its lock file behind for good (10,000 targets, 10,000
// files). A file whose last turn ended long ago guards no spacing any more
// and is removed, safely beside turns being taken: the sweep removes only a
// file whose lock it holds and whose name still names the file it locked, and
// a taker that finds its locked file removed opens the name again
// (take_key_turn).

#include "common/clock.hpp"
#include "common/owned_fd.hpp"

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace quorlin {

// How long after its last turn a lock file is removed, and how often a sweep
// runs on this machine (per user) at most.
inline constexpr std::chrono::seconds turn_file_age{60};
inline constexpr std::chrono::seconds turn_sweep_interval{60};

// Removes the lock files of the folder's subfolders (and any left directly in
// the folder by the flat layout of earlier versions) whose last turn ended at
// least `age` ago, including records this clock has not reached yet (written
// before a reboot) and records that cannot be read; a file in use is skipped.
// The subfolders stay (256 at most). Returns how many files were removed.
std::size_t sweep_turn_files(const OwnedFd& folder, Clock::duration age);

// After a turn ends: sweeps the folder on a thread of its own when neither
// this process nor any other of this user swept it in the last
// turn_sweep_interval (a stamp file in the folder), so the probe that ended
// never waits for it. The thread is named "quorlin-sweep".
void sweep_turn_folder_if_due(std::shared_ptr<const OwnedFd> folder);


}  // namespace quorlin
