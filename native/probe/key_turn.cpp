#include "probe/key_turn.hpp"

#include "common/os_error.hpp"
#include "probe/turn_folder.hpp"
#include "probe/turn_record.hpp"
#include "probe/turn_sweep.hpp"

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace quorlin {

namespace {

constexpr std::string_view kept_message =
    "another probe with the same client and peer keys kept its turn past the overall deadline";
constexpr std::string_view too_late_message = "the overall deadline passed before this probe could take its key's turn";
constexpr std::string_view unusable_prefix = "could not take this key's turn: ";

// How often a lock held by another process is tried again: short beside a
// probe, long beside a system call.
constexpr std::chrono::milliseconds lock_retry_interval{1};

// How often the folder is opened again when it was removed from under this
// process before the turn is given up.
constexpr int reopen_attempts = 3;

std::string kept(std::optional<Instant> began) {
    std::string text(kept_message);
    const Instant now = Clock::now();
    if (!began || *began > now) return text;
    const auto tenths = std::chrono::duration_cast<std::chrono::milliseconds>(now - *began).count() / 100;
    return text + " (held for " + std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " s by then)";
}

std::string spacing_past_deadline() {
    return "another probe with the same client and peer keys ended its turn less than " +
           std::to_string(std::chrono::milliseconds(key_turn_spacing).count()) + " ms before the overall deadline";
}

// Turns running in this process, so that its threads wait on a condition
// rather than on the file lock (which they would also honour: each opens the
// file for itself), with when each began once it has. Lives as long as the
// process: a detached fleet worker may end its turn during exit.
class LocalTurns {
public:
    // Nothing once entered, else when the running turn began (if it has).
    std::optional<std::optional<Instant>> enter(const KeyIdentity& identity, Instant until) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_until(lock, until, [&] { return !running_.contains(identity); })) {
            return running_.at(identity);
        }
        running_.emplace(identity, std::nullopt);
        return std::nullopt;
    }
    void began(const KeyIdentity& identity, Instant when) {
        const std::lock_guard lock(mutex_);
        running_.at(identity) = when;
    }
    void leave(const KeyIdentity& identity) {
        {
            const std::lock_guard lock(mutex_);
            running_.erase(identity);
        }
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<KeyIdentity, std::optional<Instant>> running_;
};

// The turns of unrelated keys do not share a mutex: a fleet runs a thousand
// threads on a few cores, and a thread preempted while holding the one mutex
// of the process would stall every turn behind it for seconds.
constexpr std::size_t local_turn_shards = 256;

LocalTurns& local_turns(const KeyIdentity& identity) {
    static LocalTurns* const turns = new LocalTurns[local_turn_shards];
    std::size_t mixed = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        mixed = mixed * 31 + identity.client_public_key[i] * 131 + identity.peer_public_key[i];
    }
    return turns[mixed % local_turn_shards];
}

// Ends a turn's claim in this process unless handed on.
struct LocalClaim {
    const KeyIdentity& identity;
    bool held = true;
    ~LocalClaim() {
        if (held) local_turns(identity).leave(identity);
    }
};

// 0 once locked, ETIMEDOUT when `until` came first, else the error.
int lock_until(int fd, Instant until) {
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
        if (errno != EWOULDBLOCK && errno != EINTR) return errno;
        const Instant now = Clock::now();
        if (now >= until) return ETIMEDOUT;
        std::this_thread::sleep_for(std::min<Clock::duration>(lock_retry_interval, until - now));
    }
}

bool removed(const OwnedFd& folder) {
    struct stat status {};
    return ::fstat(folder.get(), &status) == 0 && status.st_nlink == 0;
}

struct LockedFile {
    std::shared_ptr<const OwnedFd> folder;
    OwnedFd file;
};

// The lock file `name` in its subfolder `shard_name`, which is closed again
// at once.
std::expected<OwnedFd, std::string> open_lock_file(const OwnedFd& folder, const std::string& folder_path,
                                                   const std::string& shard_name, const std::string& name) {
    auto shard = open_turn_shard(folder, folder_path, shard_name);
    if (!shard) return std::unexpected(std::move(shard.error()));
    return open_turn_file(*shard, folder_path + "/" + shard_name, name);
}

// The lock file of `identity`, locked, and still under its name: a file the
// clean-up removed while this probe waited for its lock is opened again. The
// subfolder is closed before the wait: a waiting probe holds its lock file
// and its socket, no more.
std::expected<LockedFile, std::string> lock_turn_file(const KeyIdentity& identity, Instant until) {
    const std::string folder_path = turn_folder_path();
    const std::string name = turn_file_name(identity);
    const std::string shard_name = turn_shard_name(name);
    for (int attempt = 1;; ++attempt) {
        auto folder = current_turn_folder(folder_path);
        if (!folder) return std::unexpected(std::string(unusable_prefix) + folder.error());
        auto file = open_lock_file(**folder, folder_path, shard_name, name);
        if (!file) {
            if (attempt < reopen_attempts && removed(**folder)) continue;
            return std::unexpected(std::string(unusable_prefix) + file.error());
        }
        if (const int locked = lock_until(file->get(), until); locked == ETIMEDOUT) {
            return std::unexpected(kept(read_turn_record(file->get()).began));
        } else if (locked != 0) {
            return std::unexpected(std::string(unusable_prefix) + os_error_text(locked));
        }
        if (still_named(**folder, shard_name + "/" + name, file->get())) {
            return LockedFile{std::move(*folder), std::move(*file)};
        }
        if (Clock::now() >= until) return std::unexpected(std::string(too_late_message));
        attempt = 0;
    }
}

}  // namespace

KeyTurn::KeyTurn(KeyTurn&& other) noexcept
    : identity_(other.identity_), lock_fd_(std::exchange(other.lock_fd_, -1)), folder_(std::move(other.folder_)) {}

KeyTurn::~KeyTurn() {
    if (lock_fd_ < 0) return;
    write_turn_record(lock_fd_, {Clock::now(), std::nullopt});
    ::close(lock_fd_);  // releases the lock
    local_turns(identity_).leave(identity_);
    sweep_turn_folder_if_due(std::move(folder_));
}

KeyIdentity key_identity(const ProbeConfig& config) {
    return KeyIdentity{config.private_key.public_key(), config.peer_public_key};
}

std::expected<KeyTurn, std::string> take_key_turn(const KeyIdentity& identity, Instant until) {
    if (auto running = local_turns(identity).enter(identity, until)) return std::unexpected(kept(*running));
    LocalClaim claim{identity};

    auto locked = lock_turn_file(identity, until);
    if (!locked) return std::unexpected(std::move(locked.error()));
    const int fd = locked->file.get();
    // Opening the file may itself have outlasted the deadline: no other
    // probe is to blame then.
    const Instant now = Clock::now();
    if (now >= until) return std::unexpected(std::string(too_late_message));

    // Never more than one spacing from now: a record from before a reboot
    // (a /tmp that survives it) is a time the clock has not reached yet.
    const std::optional<Instant> last_end = read_turn_record(fd).last_end;
    const Instant start =
        std::min(last_end.value_or(now - key_turn_spacing) + key_turn_spacing, now + key_turn_spacing);
    if (start > until) return std::unexpected(spacing_past_deadline());
    if (start > now) std::this_thread::sleep_until(start);

    const Instant began = Clock::now();
    write_turn_record(fd, {last_end, began});
    local_turns(identity).began(identity, began);
    claim.held = false;
    return KeyTurn(identity, locked->file.release(), std::move(locked->folder));
}

}  // namespace quorlin
