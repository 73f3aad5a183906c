#pragma once
// The two steps every wait on the tunnel repeats: one inner packet sealed and
// sent, one received datagram opened (answering what the tunnel wants sent,
// dropping what does not decapsulate). The exchange of a check and the inner
// link under a TCP connection both run on these.

#include "common/clock.hpp"
#include "probe/udp_socket.hpp"
#include "wireguard/ip_address.hpp"
#include "wireguard/messages.hpp"
#include "wireguard/tunnel.hpp"

#include <cstdint>
#include <span>
#include <string>

namespace quorlin {

// Recognised by the whole 4-byte type and the exact size, nothing else.
bool is_message(std::span<const std::uint8_t> datagram, wireguard::MessageType type, std::size_t size) noexcept;

struct TunnelSend {
    enum class Kind : std::uint8_t { sent, expired, failed };
    Kind kind = Kind::sent;
    std::uint64_t bytes = 0;  // sent: the datagram's size
    std::string message;      // failed: why, as a report says it
    int error_number = 0;     // failed: the system error of the send, else 0
};

// Encrypts `packet` into `output` and sends it by `until`.
TunnelSend seal_and_send(UdpSocket& socket, wireguard::Tunn& tunnel, std::span<const std::uint8_t> packet,
                         std::span<std::uint8_t> output, Instant until);

struct OpenedDatagram {
    enum class Kind : std::uint8_t { dropped, inner_packet, answered, expired, failed };
    Kind kind = Kind::dropped;
    std::span<const std::uint8_t> inner;  // inner_packet: the decrypted IPv4 or IPv6 packet, inside `output`
    std::uint64_t sent_bytes = 0;         // answered: the protocol packet sent back
    bool new_session = false;             // answered: a handshake response moved the tunnel to a new session
    std::string message;                  // failed: why
};

// Decapsulates one datagram from the peer into `output`. A protocol packet the
// tunnel wants sent (a handshake response's first keepalive, the answer to
// the peer's initiation) goes out by `reply_until` (expired when it could
// not). A datagram that does not decapsulate (a duplicate or replayed counter,
// another index, a bad tag, a stray handshake message, junk) says nothing
// about what a check waits for: WireGuard drops it, and so do we.
OpenedDatagram open_datagram(UdpSocket& socket, wireguard::Tunn& tunnel, const wireguard::IpAddress& source,
                             std::span<const std::uint8_t> datagram, std::span<std::uint8_t> output,
                             Instant reply_until);

}  // namespace quorlin
