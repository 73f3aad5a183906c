#pragma once
// What carries inner IPv4 packets for a connection inside the tunnel: the
// tunnel itself (TunnelLink), or a test's scripted server.

#include "common/clock.hpp"
#include "common/socket_address.hpp"
#include "probe/udp_socket.hpp"
#include "wireguard/ip_address.hpp"
#include "wireguard/tunnel.hpp"

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quorlin {

class InnerLink {
public:
    virtual ~InnerLink() = default;
    // Encrypts and sends one inner packet by `until`; the error's text on failure.
    virtual std::expected<void, std::string> send(std::span<const std::uint8_t> packet, Instant until) = 0;
    // The next decrypted inner IPv4 packet, or nullopt when `until` passed
    // first, or sooner when the link has just moved to a new session (see
    // new_sessions()); the error's text on a local failure.
    virtual std::expected<std::optional<std::vector<std::uint8_t>>, std::string> receive(Instant until) = 0;

    // The clock the link's waits run on: receive(until) gives nullopt only
    // once now() has reached `until`. A scripted link may run a clock of its
    // own, so that its retransmission timers need no real waiting.
    virtual Instant now() const { return Clock::now(); }
    // How often the link has moved to a new session since it was made. The
    // peer dropped what came on the session it replaced, so whatever is still
    // unanswered is worth sending again at once.
    virtual std::uint64_t new_sessions() const noexcept { return 0; }
};

// Inner packets through the WireGuard tunnel over the probe's socket. On the
// way it does what every wait on the tunnel does: answers protocol packets the
// tunnel wants sent, drops datagrams that do not decapsulate, and follows a
// late handshake response to the session the peer keeps.
class TunnelLink final : public InnerLink {
public:
    TunnelLink(UdpSocket& socket, const SocketAddress& endpoint, wireguard::Tunn& tunnel);

    std::expected<void, std::string> send(std::span<const std::uint8_t> packet, Instant until) override;
    std::expected<std::optional<std::vector<std::uint8_t>>, std::string> receive(Instant until) override;
    std::uint64_t new_sessions() const noexcept override { return new_sessions_; }

    // The encrypted UDP datagrams moved so far, protocol packets included.
    std::uint64_t sent_bytes() const noexcept { return sent_bytes_; }
    std::uint64_t received_bytes() const noexcept { return received_bytes_; }
    // When the latest move to a new session happened.
    std::optional<Instant> last_new_session() const noexcept { return last_new_session_; }

private:
    UdpSocket& socket_;
    const wireguard::IpAddress source_;
    wireguard::Tunn& tunnel_;
    DatagramBuffer output_;
    DatagramBuffer receive_;
    std::uint64_t sent_bytes_ = 0;
    std::uint64_t received_bytes_ = 0;
    std::uint64_t new_sessions_ = 0;
    std::optional<Instant> last_new_session_;
};

}  // namespace quorlin
