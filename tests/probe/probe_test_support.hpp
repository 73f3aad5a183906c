#pragma once
// Shared by the probe engine tests: throwaway keys, plans, a readable form of
// a report for failure messages, phase-by-phase comparison, and a scripted
// peer built on our own tunnel's responder role.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/random.hpp"
#include "common/secret.hpp"
#include "config/ipv4_cidr.hpp"
#include "config/keys.hpp"
#include "config/probe_config.hpp"
#include "packet/checksum.hpp"
#include "packet/ipv4.hpp"
#include "peer/scripted_peer.hpp"
#include "probe/plan.hpp"
#include "probe/report.hpp"
#include "wireguard/errors.hpp"
#include "wireguard/rate_limiter.hpp"
#include "wireguard/tunnel.hpp"

namespace quorlin::probe_testing {

using namespace std::chrono_literals;

// ---------------------------------------------------------------- keys

struct KeyPair {
    X25519StaticSecret private_key;
    PublicKey public_key;
};

inline KeyPair random_key_pair() {
    SecretArray<32> bytes;
    fill_random(bytes.span());
    X25519StaticSecret secret(bytes.view());
    const PublicKey public_key = secret.public_key();
    return KeyPair{std::move(secret), public_key};
}

inline std::array<std::uint8_t, 32> random_bytes32() {
    std::array<std::uint8_t, 32> bytes{};
    fill_random(bytes);
    return bytes;
}

// ---------------------------------------------------------------- plans

inline Ipv4Address ipv4(const std::string& dotted) {
    const auto parsed = parse_ipv4_address(dotted);
    EXPECT_TRUE(parsed) << dotted;
    return parsed.value_or(Ipv4Address{});
}

inline Ipv4Cidr cidr(const std::string& text) {
    const auto parsed = Ipv4Cidr::from_str(text);
    EXPECT_TRUE(parsed) << text;
    return parsed.value_or(Ipv4Cidr{});
}

// A plan with the given keys and endpoint, every limit `limit`, no data checks.
inline ProbePlan plan_for(const X25519StaticSecret& client_private, const PublicKey& peer_public,
                          std::string endpoint, Duration limit = Duration::from_millis(5000)) {
    ProbePlan plan(ProbeConfig(client_private.clone(), peer_public, std::move(endpoint)));
    plan.handshake_timeout = limit;
    plan.ping_timeout = limit;
    plan.dns_timeout = limit;
    plan.overall_deadline = Duration::from_millis(limit.as_millis() * 4);
    return plan;
}

// Interface address, AllowedIPs and DNS server for data checks.
inline void add_data_config(ProbePlan& plan, const std::string& address, const std::string& allowed_ip,
                            std::optional<std::string> dns_server) {
    std::vector<IpAddress> servers;
    if (dns_server) servers.push_back(ipv4(*dns_server));
    plan.config.set_data_config(cidr(address), std::move(servers), {cidr(allowed_ip)});
}

// ---------------------------------------------------------------- reports

inline std::string describe(const PhaseResult& p) {
    std::ostringstream out;
    out << p.phase << " [" << p.target.value_or("-") << "] " << status_text(p.status) << " " << p.duration_ms
        << " ms, sent " << p.sent_bytes << ", received " << p.received_bytes << ": " << p.detail.value_or("-");
    return out.str();
}

inline std::string describe(const ProbeReport& report) {
    std::ostringstream out;
    out << "verdict " << verdict_text(report.verdict) << ", " << report.duration_ms << " ms, sent "
        << report.sent_bytes << ", received " << report.received_bytes << "\n";
    for (const PhaseResult& p : report.phases) out << "  " << describe(p) << "\n";
    return out.str();
}

// One expected phase; byte counts left empty are not compared, durations never.
struct Expected {
    std::string phase;
    std::optional<std::string> target;
    PhaseStatus status;
    std::optional<std::string> detail;
    std::optional<std::uint64_t> sent = std::nullopt;
    std::optional<std::uint64_t> received = std::nullopt;
};

inline void expect_phases(const ProbeReport& report, const std::vector<Expected>& expected) {
    ASSERT_EQ(report.phases.size(), expected.size()) << describe(report);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const PhaseResult& got = report.phases[i];
        const Expected& want = expected[i];
        SCOPED_TRACE("phase " + std::to_string(i) + ": " + describe(got));
        EXPECT_EQ(got.phase, want.phase);
        EXPECT_EQ(got.target, want.target);
        EXPECT_EQ(status_text(got.status), status_text(want.status));
        EXPECT_EQ(got.detail, want.detail);
        if (want.sent) {
            EXPECT_EQ(got.sent_bytes, *want.sent);
        }
        if (want.received) {
            EXPECT_EQ(got.received_bytes, *want.received);
        }
    }
}

// The report's totals are the sums of its phases' counts.
inline void expect_totals_are_phase_sums(const ProbeReport& report) {
    std::uint64_t sent = 0;
    std::uint64_t received = 0;
    for (const PhaseResult& p : report.phases) {
        sent += p.sent_bytes;
        received += p.received_bytes;
    }
    EXPECT_EQ(report.sent_bytes, sent) << describe(report);
    EXPECT_EQ(report.received_bytes, received) << describe(report);
}

// Size of the transport message that carries an inner packet of `inner` bytes:
// 16-byte header, the packet padded to a multiple of 16, 16-byte tag.
constexpr std::uint64_t transport_bytes(std::size_t inner) { return 32 + (inner + 15) / 16 * 16; }

// ---------------------------------------------------------------- inner packets

// The echo reply a host would send for `request` (an IPv4 ICMP echo request).
inline std::vector<std::uint8_t> echo_reply_for(std::span<const std::uint8_t> request) {
    const auto view = read_ipv4(request);
    EXPECT_TRUE(view && view->protocol == ip_protocol_icmp && view->payload.size() >= 8);
    if (!view) return {};
    std::vector<std::uint8_t> icmp(view->payload.begin(), view->payload.end());
    icmp[0] = 0;  // echo reply
    icmp[2] = icmp[3] = 0;
    const std::uint16_t sum = internet_checksum(icmp);
    icmp[2] = static_cast<std::uint8_t>(sum >> 8);
    icmp[3] = static_cast<std::uint8_t>(sum);
    return ipv4_packet(view->destination, view->source, ip_protocol_icmp, static_cast<std::uint16_t>(random_u32()),
                       icmp);
}

struct EchoFields {
    std::uint16_t ip_identification = 0;
    std::uint16_t identifier = 0;
    std::uint16_t sequence = 0;
};

inline EchoFields echo_fields(std::span<const std::uint8_t> request) {
    const auto view = read_ipv4(request);
    EXPECT_TRUE(view && view->payload.size() >= 8);
    if (!view || view->payload.size() < 8) return {};
    auto be16 = [](std::span<const std::uint8_t> b, std::size_t at) {
        return static_cast<std::uint16_t>(b[at] << 8 | b[at + 1]);
    };
    return EchoFields{be16(request, 4), be16(view->payload, 4), be16(view->payload, 6)};
}

// ---------------------------------------------------------------- scripted peer

// Makes every handshake message prove its source address with a cookie first.
class AlwaysUnderLoad : public wireguard::RateLimiter {
public:
    bool is_under_load(const std::optional<wireguard::IpAddress>&, Instant) noexcept override { return true; }
};

// A peer the test scripts by hand: a UDP socket on the loopback address and a
// tunnel holding the peer's side of the keys (our engine's responder role).
// The script runs on a thread of its own while the test probes; every wait in
// it is bounded, and the thread is joined before the responder goes.
class ScriptedResponder {
public:
    using Datagram = std::vector<std::uint8_t>;
    using TunnResult = wireguard::TunnResult;

    // `peer` is the responder's key pair; `client_public` the prober's key.
    ScriptedResponder(const KeyPair& peer, const PublicKey& client_public,
                      std::optional<std::array<std::uint8_t, 32>> preshared = std::nullopt,
                      std::shared_ptr<wireguard::RateLimiter> limiter = nullptr, int family = AF_INET)
        : socket_(open_socket(family)),
          tunnel_(peer.private_key.bytes(), client_public,
                  preshared ? std::optional<wireguard::KeyView>(*preshared) : std::nullopt, std::nullopt,
                  random_u32(), std::move(limiter)),
          out_(65535, 0) {}

    ~ScriptedResponder() { join(); }
    ScriptedResponder(const ScriptedResponder&) = delete;
    ScriptedResponder& operator=(const ScriptedResponder&) = delete;

    std::string endpoint_text() const { return socket_->endpoint_text(); }
    const SocketAddress& address() const { return socket_->address(); }

    // Starts the script; it runs until it returns.
    void run(std::function<void(ScriptedResponder&)> script) {
        thread_ = std::thread([this, script = std::move(script)] { script(*this); });
    }
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    // Closes the socket: later datagrams to it are refused by the system.
    void close_socket() { socket_.reset(); }

    // ---- for scripts

    // The next datagram from the prober, or nullopt after `bound`.
    std::optional<Datagram> next(std::chrono::milliseconds bound = 10s) {
        auto got = socket_->receive(bound);
        EXPECT_TRUE(got) << got.error();
        if (!got || !*got) return std::nullopt;
        client_ = (*got)->from;
        return std::move((*got)->bytes);
    }
    void send(std::span<const std::uint8_t> bytes) {
        ASSERT_TRUE(client_) << "the prober has not been heard from yet";
        auto sent = socket_->send_to(bytes, *client_);
        EXPECT_TRUE(sent) << sent.error();
    }
    // The tunnel's answer to a datagram from the prober. The packet lies in an
    // internal buffer that the next call reuses; `copy` it to keep it.
    TunnResult open(std::span<const std::uint8_t> datagram) {
        return tunnel_.decapsulate(wireguard::IpAddress::of(*client_), datagram, out_);
    }
    TunnResult seal(std::span<const std::uint8_t> inner) { return tunnel_.encapsulate(inner, out_); }
    TunnResult initiate() { return tunnel_.format_handshake_initiation(out_, true); }
    static Datagram copy(const TunnResult& result) { return Datagram(result.packet.begin(), result.packet.end()); }

    // The next datagram of `size` bytes (any size when 0), opened by the
    // tunnel, whose result must be of `kind`; a copy of what it produced.
    std::optional<Datagram> next_opened(std::size_t size, TunnResult::Kind kind, const char* what) {
        auto datagram = next();
        if (!datagram) {
            ADD_FAILURE() << "no " << what << " arrived";
            return std::nullopt;
        }
        if (size != 0) {
            EXPECT_EQ(datagram->size(), size) << what;
        }
        const TunnResult result = open(*datagram);
        if (result.kind != kind) {
            ADD_FAILURE() << what << " gave "
                          << (result.kind == TunnResult::Kind::Err ? wireguard::error_name(result.error) : "another result");
            return std::nullopt;
        }
        return copy(result);
    }
    // Receives the initiation; the tunnel's answer (a response, or a cookie
    // reply under load), not yet sent.
    std::optional<Datagram> answer_initiation() {
        return next_opened(148, TunnResult::Kind::WriteToNetwork, "handshake initiation");
    }
    // The prober's keepalive confirms the session on our side.
    bool accept_keepalive() { return next_opened(32, TunnResult::Kind::Done, "keepalive").has_value(); }
    // The common opening: answer the initiation, take the keepalive.
    bool complete_handshake() {
        auto response = answer_initiation();
        if (!response) return false;
        send(*response);
        return accept_keepalive();
    }
    // The next inner packet the prober sends through the tunnel.
    std::optional<Datagram> next_inner() { return next_opened(0, TunnResult::Kind::WriteToTunnelV4, "inner packet"); }
    // Encrypts `inner` for the prober and sends it.
    void send_inner(std::span<const std::uint8_t> inner) {
        const TunnResult sealed = seal(inner);
        ASSERT_EQ(sealed.kind, TunnResult::Kind::WriteToNetwork);
        send(sealed.packet);
    }

private:
    static std::unique_ptr<peer::ScriptedPeer> open_socket(int family) {
        auto opened = peer::ScriptedPeer::open(family);
        if (!opened) throw std::runtime_error(opened.error());
        return std::make_unique<peer::ScriptedPeer>(std::move(*opened));
    }

    std::unique_ptr<peer::ScriptedPeer> socket_;
    wireguard::Tunn tunnel_;
    Datagram out_;
    std::optional<SocketAddress> client_;
    std::thread thread_;
};

// An IPv4 loopback endpoint with nothing bound to it, in the calling thread's
// network namespace: datagrams to it are refused. The port was free a moment
// ago; nothing else in these tests binds loopback ports by number.
inline std::string closed_loopback_endpoint() {
    auto probe = peer::ScriptedPeer::open(AF_INET);
    if (!probe) throw std::runtime_error(probe.error());
    return probe->endpoint_text();  // the socket closes on return
}

}  // namespace quorlin::probe_testing
