#include "probe/key_turn.hpp"

#include "common/os_error.hpp"
#include "probe/turn_folder.hpp"

#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

namespace quorlin {

namespace {

constexpr std::string_view turn_kept_message =
    "another probe with the same client and peer keys kept its turn past the handshake deadline";

// How often a lock held by another process is tried again: short beside a
// probe, long beside a system call.
constexpr std::chrono::milliseconds lock_retry_interval{1};

// Turns running in this process, so that its threads wait on a condition
// rather than on the file lock (which they would also honour: each opens the
// file for itself). Lives as long as the process: a detached fleet worker may
// end its turn during exit.
class LocalTurns {
public:
    bool enter(const KeyIdentity& identity, Instant until) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_until(lock, until, [&] { return !running_.contains(identity); })) return false;
        running_.insert(identity);
        return true;
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
    std::set<KeyIdentity> running_;
};

LocalTurns& local_turns() {
    static LocalTurns* const turns = new LocalTurns;
    return *turns;
}

// Ends a turn's claim in this process unless handed on.
struct LocalClaim {
    const KeyIdentity& identity;
    bool held = true;
    ~LocalClaim() {
        if (held) local_turns().leave(identity);
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

// When the last turn ended, on the monotonic clock every process of this
// boot shares; nothing for a new or unreadable file.
std::optional<Instant> last_end(int fd) {
    char text[32];
    const ssize_t size = ::pread(fd, text, sizeof text, 0);
    if (size <= 0) return std::nullopt;
    std::int64_t nanoseconds = 0;
    const auto [end, error] = std::from_chars(text, text + size, nanoseconds);
    if (error != std::errc{} || end == text || nanoseconds < 0) return std::nullopt;
    return Instant(std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(nanoseconds)));
}

void record_end(int fd, Instant end) {
    const std::string text =
        std::to_string(std::chrono::duration_cast<std::chrono::nanoseconds>(end.time_since_epoch()).count()) + "\n";
    // A record that could not be written costs the next turn its spacing at
    // worst: the lock itself still keeps turns apart.
    if (::pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size())) {
        (void)::ftruncate(fd, static_cast<off_t>(text.size()));
    }
}

}  // namespace

KeyTurn::KeyTurn(KeyTurn&& other) noexcept
    : identity_(other.identity_), lock_fd_(std::exchange(other.lock_fd_, -1)) {}

KeyTurn::~KeyTurn() {
    if (lock_fd_ < 0) return;
    record_end(lock_fd_, Clock::now());
    ::close(lock_fd_);  // releases the lock
    local_turns().leave(identity_);
}

std::expected<KeyTurn, std::string> take_key_turn(const KeyIdentity& identity, Instant until) {
    if (!local_turns().enter(identity, until)) return std::unexpected(std::string(turn_kept_message));
    LocalClaim claim{identity};

    const std::string folder_path = turn_folder_path();
    auto folder = open_turn_folder(folder_path);
    if (!folder) return std::unexpected("could not take this key's turn: " + folder.error());
    auto file = open_turn_file(*folder, folder_path, identity);
    if (!file) return std::unexpected("could not take this key's turn: " + file.error());
    if (const int locked = lock_until(file->get(), until); locked == ETIMEDOUT) {
        return std::unexpected(std::string(turn_kept_message));
    } else if (locked != 0) {
        return std::unexpected("could not take this key's turn: " + os_error_text(locked));
    }

    // Never more than one spacing from now: a record from before a reboot
    // (a /tmp that survives it) is a time the clock has not reached yet.
    const Instant now = Clock::now();
    const Instant start = std::min(last_end(file->get()).value_or(now - key_turn_spacing) + key_turn_spacing,
                                   now + key_turn_spacing);
    if (start > until) return std::unexpected(std::string(turn_kept_message));
    if (start > now) std::this_thread::sleep_until(start);

    claim.held = false;
    return KeyTurn(identity, file->release());
}

}  // namespace quorlin
