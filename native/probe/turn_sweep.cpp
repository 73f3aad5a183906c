#include "probe/turn_sweep.hpp"

#include "probe/turn_folder.hpp"
#include "probe/turn_record.hpp"

#include <dirent.h>
#include <pthread.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

namespace quorlin {

namespace {

// Beside the lock files, never mistaken for one: when the folder was last
// swept, in a lock file's record form.
constexpr std::string_view stamp_name = "last-sweep";
constexpr std::string_view turn_suffix = ".turn";

// Locked first, so a turn that ends just now is either still running here
// (skipped) or has written its end; read only then, so that end is no later
// than `now`.
bool remove_if_old(const OwnedFd& folder, const std::string& name, Clock::duration age) {
    OwnedFd file(::openat(folder.get(), name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0) return false;
    struct stat status {};
    if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != ::geteuid()) return false;
    if (::flock(file.get(), LOCK_EX | LOCK_NB) != 0) return false;
    const Instant now = Clock::now();
    const std::optional<Instant> end = read_turn_record(file.get()).last_end;
    const bool old = !end || *end > now || now - *end >= age;
    // Another sweep may have removed it and a taker made a new one meanwhile.
    if (!old || !still_named(folder, name, file.get())) return false;
    return ::unlinkat(folder.get(), name.c_str(), 0) == 0;
}

void sweep_if_stamp_allows(const OwnedFd& folder) {
    auto stamp = open_turn_file(folder, "", std::string(stamp_name));
    if (!stamp || ::flock(stamp->get(), LOCK_EX | LOCK_NB) != 0) return;  // another process sweeps now
    const Instant now = Clock::now();
    const std::optional<Instant> last = read_turn_record(stamp->get()).last_end;
    if (last && *last <= now && now - *last < turn_sweep_interval) return;
    write_turn_record(stamp->get(), {now, std::nullopt});
    sweep_turn_files(folder, turn_file_age);
}

// The names in a folder, listed before any is removed: removing while
// reading may skip entries.
std::vector<std::string> listed_names(const OwnedFd& folder) {
    std::vector<std::string> names;
    // A description of its own: another sweep's reading position is not ours.
    const int listing_fd = ::openat(folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing_fd < 0) return names;
    DIR* listing = ::fdopendir(listing_fd);
    if (listing == nullptr) {
        ::close(listing_fd);
        return names;
    }
    while (const dirent* entry = ::readdir(listing)) names.emplace_back(entry->d_name);
    ::closedir(listing);
    return names;
}

// When this process may sweep next, in nanoseconds of the monotonic clock.
std::atomic<std::int64_t> next_sweep_ns{0};

constexpr char sweep_thread_name[] = "quorlin-sweep";
static_assert(sizeof sweep_thread_name - 1 <= 15);  // Linux refuses longer names

std::int64_t nanoseconds(Instant instant) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(instant.time_since_epoch()).count();
}

}  // namespace

std::size_t sweep_turn_files(const OwnedFd& folder, Clock::duration age) {
    std::size_t removed = 0;
    std::vector<std::string> shards;
    for (std::string& name : listed_names(folder)) {
        if (is_turn_shard_name(name)) {
            shards.push_back(std::move(name));
        } else if (name.ends_with(turn_suffix)) {
            // A lock file of the flat layout from before the subfolders:
            // no longer used, gone once old like any other.
            removed += remove_if_old(folder, name, age) ? 1 : 0;
        }
    }
    for (const std::string& shard_name : shards) {
        // Checked as a taker checks it: one that is not this user's private
        // folder, or no longer there, is left alone.
        const auto shard = open_turn_shard(folder, "", shard_name, false);
        if (!shard) continue;
        for (const std::string& name : listed_names(*shard)) {
            if (name.ends_with(turn_suffix)) removed += remove_if_old(*shard, name, age) ? 1 : 0;
        }
    }
    return removed;
}

void sweep_turn_folder_if_due(std::shared_ptr<const OwnedFd> folder) {
    const std::int64_t now = nanoseconds(Clock::now());
    std::int64_t due = next_sweep_ns.load();
    const std::int64_t interval = std::chrono::nanoseconds(turn_sweep_interval).count();
    if (now < due || !next_sweep_ns.compare_exchange_strong(due, now + interval)) return;
    // Signals stay with the caller's threads: the sweep starts with every
    // signal blocked, then the caller's mask is restored.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    const bool masked = pthread_sigmask(SIG_SETMASK, &all, &previous) == 0;
    try {
        // Detached: it touches nothing but the folder it holds, so a process
        // may end while it runs; a sweep cut short only leaves files behind.
        std::thread sweep([folder = std::move(folder)] { sweep_if_stamp_allows(*folder); });
        // Named before the turn's end returns, so that the caller can tell a
        // sweep runs from the moment it was started.
        pthread_setname_np(sweep.native_handle(), sweep_thread_name);
        sweep.detach();
    } catch (const std::system_error&) {
        // No thread to spare: the next turn's end tries again after the interval.
    }
    if (masked) pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace quorlin
