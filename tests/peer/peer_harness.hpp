#pragma once
// A real WireGuard peer (wireguard-go + dnsmasq in a network namespace of its
// own) for the engine tests. The peer is run by tests/peer/wgpeer.py in its
// "serve" mode: we hold the script's stdin, and closing it (or our process
// ending in any way) tears the peer down.
//
//   auto peer = RealPeer::start({.preshared_key = true});
//   if (!peer) FAIL() << peer.error();
//   auto in_namespace = NetnsGuard::enter(peer->info().namespace_name);
//   ... a UDP socket to peer->info().endpoint_ipv4 reaches the peer ...
//
// Tests call QUORLIN_SKIP_WITHOUT_PEER() first: without root the peer cannot
// run and the test says so and skips.

#include <array>
#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace quorlin::peer {

struct PeerOptions {
    bool preshared_key = false;
    // Extra DNS records (name, IPv4 or IPv6 address) beside the built-in ones
    // (see wgpeer.py); a name may repeat and its A records are answered in the
    // order given.
    std::vector<std::pair<std::string, std::string>> records{};
    bool dns = true;  // false: no dnsmasq
};

struct PeerInfo {
    std::string namespace_name;
    std::string interface_name;
    std::uint16_t listen_port = 0;
    std::string endpoint_ipv4;                 // "127.0.0.1:51820" (inside the namespace)
    std::optional<std::string> endpoint_ipv6;  // "[::1]:51820" when the namespace has IPv6
    std::string host_name;                     // in the namespace's hosts file: 127.0.0.1 and ::1
    std::string endpoint_host;                 // "peer.quorlin.test:51820"
    // Throwaway test keys, Base64 as `wg` writes them.
    std::string peer_public_key;
    std::string client_private_key;
    std::string client_public_key;
    std::optional<std::string> preshared_key;
    std::string tunnel_address;    // the peer's interface address with prefix, "10.99.0.1/24"
    std::string peer_tunnel_ip;    // "10.99.0.1": answers ICMP echo through the tunnel
    std::string client_address;    // the client's allowed IPs at the peer, "10.99.0.2/32"
    std::string client_tunnel_ip;  // "10.99.0.2": the inner source address to use
    std::optional<std::string> dns_address;  // dnsmasq, on the peer's tunnel address, port 53
    std::string log_dir;  // wireguard-go.log and dnsmasq.log
};

// Why the peer cannot run here (not root), or nullopt. A missing tool is not a
// reason to skip: as root the peer is expected to work, so it fails loudly.
std::optional<std::string> peer_unavailable_reason();

class RealPeer {
public:
    // Starts the peer and waits (at most `timeout`) for its description.
    static std::expected<RealPeer, std::string> start(const PeerOptions& options = {},
                                                      std::chrono::milliseconds timeout = std::chrono::seconds(60));

    RealPeer(RealPeer&& other) noexcept;
    RealPeer& operator=(RealPeer&&) = delete;
    RealPeer(const RealPeer&) = delete;
    ~RealPeer();

    const PeerInfo& info() const { return info_; }

    // Tears the peer down now and reports whether that went cleanly. Bounded:
    // a supervisor that does not finish in time is killed and the peer removed
    // by name. Calling it again does nothing.
    std::expected<void, std::string> stop();

    // The tail of wireguard-go's or dnsmasq's log, for failure messages.
    std::string log_tail(std::string_view program, std::size_t max_bytes = 4000) const;

private:
    RealPeer(pid_t pid, int stdin_fd, int stdout_fd, PeerInfo info)
        : pid_(pid), stdin_fd_(stdin_fd), stdout_fd_(stdout_fd), info_(std::move(info)) {}

    pid_t pid_ = -1;
    int stdin_fd_ = -1;
    int stdout_fd_ = -1;
    PeerInfo info_;
};

// Reads the peer's JSON line; exposed for tests of the harness itself.
std::expected<PeerInfo, std::string> parse_peer_info(std::string_view json_line);

// A Base64 WireGuard key as its 32 bytes; nullopt unless exactly that.
std::optional<std::array<std::uint8_t, 32>> decode_key(std::string_view base64);

}  // namespace quorlin::peer

#define QUORLIN_SKIP_WITHOUT_PEER()                                              \
    do {                                                                         \
        if (auto quorlin_peer_reason = ::quorlin::peer::peer_unavailable_reason()) \
            GTEST_SKIP() << *quorlin_peer_reason;                                \
    } while (false)
