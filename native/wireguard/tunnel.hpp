#pragma once
// `Tunn`: one WireGuard peer relationship over datagrams the caller moves.
//
// The tunnel never touches a socket or a timer. The caller hands it datagrams
// from the peer (`decapsulate`) and inner packets to protect (`encapsulate`),
// and sends whatever it writes into the caller's buffer. Both roles are
// supported: it initiates handshakes, answers the peer's initiations, and
// handles cookie replies in both directions.
//
// Local index: the tunnel's first handshake uses the constructor's `index`
// unchanged as its sender index; every later handshake it starts or answers
// uses the next value (index + 1, index + 2, ... modulo 2^32). Transport
// messages from the peer are matched against these indices.
//
// Secrets (static private key, preshared key, ephemeral keys, chaining keys,
// session keys, cookies) are wiped when replaced and when the tunnel dies.
//
// Not thread-safe: one tunnel is driven by one thread at a time.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "wireguard/crypto.hpp"
#include "wireguard/errors.hpp"
#include "wireguard/ip_address.hpp"
#include "wireguard/rate_limiter.hpp"

namespace quorlin::wireguard {

struct TunnResult {
    enum class Kind : std::uint8_t { Done, Err, WriteToNetwork, WriteToTunnelV4, WriteToTunnelV6 };

    Kind kind = Kind::Done;
    WireGuardError error = WireGuardError::DestinationBufferTooSmall;  // meaningful for Err only
    std::span<std::uint8_t> packet;  // inside the caller's `dst`, for the Write kinds
    IpAddress source;                // inner source address, for the tunnel kinds

    static TunnResult done() noexcept { return TunnResult{}; }
    static TunnResult err(WireGuardError e) noexcept {
        TunnResult r;
        r.kind = Kind::Err;
        r.error = e;
        return r;
    }
    static TunnResult write_to_network(std::span<std::uint8_t> bytes) noexcept {
        TunnResult r;
        r.kind = Kind::WriteToNetwork;
        r.packet = bytes;
        return r;
    }
    static TunnResult write_to_tunnel(std::span<std::uint8_t> bytes, IpAddress inner_source) noexcept {
        TunnResult r;
        r.kind = inner_source.is_v4() ? Kind::WriteToTunnelV4 : Kind::WriteToTunnelV6;
        r.packet = bytes;
        r.source = inner_source;
        return r;
    }
};

struct TunnelState;

// The tunnel's own static key pair, for a caller that already holds the public
// key: the tunnel then takes it as given instead of deriving it again.
struct StaticKeyPair {
    KeyView private_key;
    KeyView public_key;  // the X25519 public key of `private_key`
};

class Tunn {
public:
    // Cannot fail. The keys are copied into wiped storage and the tunnel
    // derives its own static public key. A peer key that gives an all-zero
    // shared secret is accepted here and makes every handshake fail with
    // WrongKey. `persistent_keepalive` is kept for callers that drive timers;
    // the tunnel itself never sends unprompted.
    Tunn(KeyView static_private, KeyView peer_static_public, std::optional<KeyView> preshared_key,
         std::optional<std::uint16_t> persistent_keepalive, std::uint32_t index,
         std::shared_ptr<RateLimiter> rate_limiter = nullptr);
    Tunn(StaticKeyPair static_keys, KeyView peer_static_public, std::optional<KeyView> preshared_key,
         std::optional<std::uint16_t> persistent_keepalive, std::uint32_t index,
         std::shared_ptr<RateLimiter> rate_limiter = nullptr);
    ~Tunn();
    Tunn(Tunn&&) noexcept;             // the moved-from tunnel may only be destroyed or assigned
    Tunn& operator=(Tunn&&) noexcept;
    Tunn(const Tunn&) = delete;
    Tunn& operator=(const Tunn&) = delete;

    // A 148-byte handshake initiation: WriteToNetwork. Without `force`, while
    // an initiation sent less than REKEY_TIMEOUT (5 s) ago is outstanding:
    // Done. A cookie younger than 120 s from the peer adds MAC2. The last 8
    // initiations stay answerable: a response to any of them completes the
    // handshake, and it and every earlier one are then forgotten (the peer
    // keeps only the session of the latest initiation it accepted).
    TunnResult format_handshake_initiation(std::span<std::uint8_t> dst, bool force);

    // One datagram from the peer, classified by its type and exact size.
    // `src` is the address it came from (needed to answer with a cookie reply
    // while under load). `datagram` and `dst` must not overlap.
    //   initiation (148)  -> WriteToNetwork: our 92-byte response
    //   response (92)     -> WriteToNetwork: the first transport message, an
    //                        encrypted keepalive (32 bytes)
    //   cookie reply (64) -> Done: the cookie is held for the next initiation
    //   transport (>= 32) -> Done for a keepalive, else WriteToTunnelV4/V6 with
    //                        the inner packet trimmed to its IP total length
    //   anything else     -> Err(InvalidPacket)
    TunnResult decapsulate(std::optional<IpAddress> src, std::span<const std::uint8_t> datagram,
                           std::span<std::uint8_t> dst);

    // With a current session: one transport message carrying `packet` padded
    // to a multiple of 16 (WriteToNetwork). Without one, or once the session
    // is past REJECT_AFTER_TIME: a handshake initiation as by
    // format_handshake_initiation(dst, false); the packet is not kept.
    TunnResult encapsulate(std::span<const std::uint8_t> packet, std::span<std::uint8_t> dst);

    std::array<std::uint8_t, 32> static_public_key() const noexcept;
    std::optional<std::uint16_t> persistent_keepalive() const noexcept;

private:
    std::unique_ptr<TunnelState> state_;
};

}  // namespace quorlin::wireguard
