#pragma once
// Probes that share both client key and peer key take turns on this machine:
// never two at once, and each starts at least `key_turn_spacing` after the
// last one ended, whether they run in one process or in several processes of
// the same user. The peer ignores an initiation that follows the last one from
// that key too closely, and it keeps only one session and one endpoint per
// key, so two such probes at once would fail each other.
//
// The turn is a lock file per key identity in a private folder of the user
// (see turn_folder.hpp) holding when the last turn ended and when the running
// one began (turn_record.hpp); files whose last turn ended long ago are
// removed (turn_sweep.hpp). Probers of other users or on other machines
// cannot be coordinated: each needs a key of its own.

#include "common/clock.hpp"
#include "common/owned_fd.hpp"
#include "config/probe_config.hpp"
#include "wireguard/handshake.hpp"

#include <array>
#include <chrono>
#include <compare>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>

namespace quorlin {

// The two public keys a turn is shared by (never a private key).
struct KeyIdentity {
    std::array<std::uint8_t, 32> client_public_key{};
    std::array<std::uint8_t, 32> peer_public_key{};

    friend auto operator<=>(const KeyIdentity&, const KeyIdentity&) = default;
};

// The identity a probe of `config` takes turns under: the fleet numbers its
// targets' identities with this too, so both group keys alike.
KeyIdentity key_identity(const ProbeConfig& config);

// Room above the peer's rate limit for the clocks and schedulers of both
// machines: one turn's last initiation and the next turn's first must reach
// the peer at least the rate limit apart.
inline constexpr std::chrono::milliseconds key_turn_margin{30};
inline constexpr std::chrono::milliseconds key_turn_spacing = wireguard::initiation_rate_limit + key_turn_margin;

// A turn held; ending it (destruction) records the end for the next turn.
class KeyTurn {
public:
    KeyTurn(KeyTurn&& other) noexcept;
    KeyTurn& operator=(KeyTurn&&) = delete;
    KeyTurn(const KeyTurn&) = delete;
    ~KeyTurn();

private:
    friend std::expected<KeyTurn, std::string> take_key_turn(const KeyIdentity&, Instant);
    KeyTurn(const KeyIdentity& identity, int lock_fd, std::shared_ptr<const OwnedFd> folder) noexcept
        : identity_(identity), lock_fd_(lock_fd), folder_(std::move(folder)) {}

    KeyIdentity identity_;
    int lock_fd_;  // -1 once moved from
    std::shared_ptr<const OwnedFd> folder_;
};

// Waits, until `until` (the probe's overall deadline) at the latest, for the
// turn of `identity`. The error says why no turn came: another probe kept it
// past `until` (and for how long, when known), or ended it too close to
// `until` for the spacing, or `until` had passed before this one could take
// it, or the turn folder or file cannot be used safely.
std::expected<KeyTurn, std::string> take_key_turn(const KeyIdentity& identity, Instant until);

}  // namespace quorlin
