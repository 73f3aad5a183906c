// Figures for the probe engine, measured side by side in one run against a
// real local peer: wall time (median, p99) of a handshake-only probe and of a
// probe with one ping and one DNS check; CPU time per probe set against the
// cost of the four X25519 operations of a handshake, measured in the same
// run; probes per second (one thread and two); and how far past their
// deadlines the bounded waits end (a silent peer's handshake, an unanswered
// ping, a host-name lookup that hangs); and a handshake whose first initiation
// is lost; and the TCP, TLS and HTTP checks through the tunnel
// (service_bench.cpp). Everything is printed; nothing here passes or fails
// on a time.
//
// The real peer (wireguard-go and dnsmasq in a network namespace of their
// own, started through tests/peer) needs root; without it only the figures
// that need no peer are printed.
//
//   probe_bench [--probes N] [--samples N]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <memory>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <span>
#include <thread>
#include <utility>
#include <vector>

#include "bench_peer.hpp"
#include "bench_stats.hpp"
#include "service_bench.hpp"
#include "common/os_error.hpp"
#include "common/random.hpp"
#include "common/secret.hpp"
#include "config/base64_key.hpp"
#include "config/keys.hpp"
#include "config/probe_config.hpp"
#include "packet/icmp.hpp"
#include "peer/netns_guard.hpp"
#include "peer/peer_harness.hpp"
#include "peer/scripted_peer.hpp"
#include "probe/ping_summary.hpp"
#include "probe/probe.hpp"
#include "probe/resolve.hpp"
#include "probe/shared_lookups.hpp"
#include "probe/session.hpp"
#include "probe/socket_address_literal.hpp"
#include "probe/udp_socket.hpp"
#include "x25519_floor.hpp"

namespace quorlin::bench {
namespace {

using namespace std::chrono_literals;

// ---------------------------------------------------------------- figures

void print_overshoot(const char* what, const Summary& s, double limit_ms) {
    print_summary(what, s, "ms");
    std::printf("  %-50s %9.4f\n", "  median overshoot / limit", s.median / limit_ms);
}

// ---------------------------------------------------------------- probes

// What a probe checks after the handshake and its keepalive.
enum class ProbeKind { handshake_only, ping_and_dns };

const char* kind_text(ProbeKind kind) {
    return kind == ProbeKind::handshake_only ? "handshake only" : "handshake + 1 ping + 1 DNS";
}

ProbePlan probe_plan(const Peer& peer, const Client& client, ProbeKind kind) {
    const peer::PeerInfo& info = peer.real.info();
    ProbePlan plan(ProbeConfig(client.private_key.clone(), peer.public_key, info.endpoint_ipv4));
    plan.handshake_timeout = plan.ping_timeout = plan.dns_timeout = Duration::from_millis(2000);
    plan.overall_deadline = Duration::from_millis(10'000);
    if (kind == ProbeKind::handshake_only) return plan;
    const Ipv4Address tunnel_ip = parse_ipv4_address(info.peer_tunnel_ip).value();
    plan.config.set_data_config(Ipv4Cidr::from_str(client.address).value(), {tunnel_ip},
                                {Ipv4Cidr::from_str(info.tunnel_address).value()});
    plan.dns_server = tunnel_ip;
    plan.ping = {tunnel_ip};
    plan.resolve = {"ok.quorlin.test"};
    return plan;
}

Verdict expected_verdict(ProbeKind kind) {
    return kind == ProbeKind::handshake_only ? Verdict::authentication_confirmed : Verdict::data_plane_confirmed;
}

// ---------------------------------------------------------------- runs of probes

struct ProbeRun {
    std::size_t probes = 0;
    std::size_t confirmed = 0;  // probes that ended with the verdict their kind aims at
    double seconds = 0;
    double cpu_seconds = 0;       // the whole process, all threads, over the run
    double user_cpu_seconds = 0;  // its user-space share
    std::vector<double> probe_ms;
    std::vector<double> handshake_ms;  // from the handshake's started to finished event

    double probes_per_second() const { return seconds > 0 ? static_cast<double>(probes) / seconds : 0; }
    double cpu_us_per_probe() const { return probes > 0 ? cpu_seconds * 1e6 / static_cast<double>(probes) : 0; }
    double user_cpu_us_per_probe() const {
        return probes > 0 ? user_cpu_seconds * 1e6 / static_cast<double>(probes) : 0;
    }
};

// `threads` threads, each probing with its own share of the clients. The
// pacing between handshakes of one client sleeps, so it costs no CPU time.
ProbeRun run_probes(Peer& peer, ProbeKind kind, std::size_t probes, std::size_t threads) {
    ProbeRun total;
    std::mutex merge;
    const double cpu_start = process_cpu_seconds();
    const double user_cpu_start = process_user_cpu_seconds();
    const Instant start = Clock::now();
    std::vector<std::thread> workers;
    for (std::size_t t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            ProbeRun mine;
            auto done = peer::run_in_peer_namespace(peer.real.info().namespace_name, [&] {
                for (std::size_t i = t; i < probes; i += threads) {
                    Client& client = peer.clients[i % peer.clients.size()];
                    ProbePlan plan = probe_plan(peer, client, kind);
                    pace(client);
                    std::optional<Instant> handshake_started;
                    double handshake = -1;
                    const Instant begun = Clock::now();
                    const ProbeReport report = probe(std::move(plan), [&](ProbeEvent e) {
                        if (e.phase != "handshake") return;
                        if (e.kind == ProbeEventKind::started) handshake_started = Clock::now();
                        else if (handshake_started) handshake = ms_between(*handshake_started, Clock::now());
                    });
                    mine.probe_ms.push_back(ms_between(begun, Clock::now()));
                    if (handshake >= 0) mine.handshake_ms.push_back(handshake);
                    ++mine.probes;
                    if (report.verdict == expected_verdict(kind)) ++mine.confirmed;
                }
            });
            if (!done) std::fprintf(stderr, "could not enter the peer's namespace: %s\n", done.error().c_str());
            const std::lock_guard lock(merge);
            total.probes += mine.probes;
            total.confirmed += mine.confirmed;
            total.probe_ms.insert(total.probe_ms.end(), mine.probe_ms.begin(), mine.probe_ms.end());
            total.handshake_ms.insert(total.handshake_ms.end(), mine.handshake_ms.begin(), mine.handshake_ms.end());
        });
    }
    for (auto& w : workers) w.join();
    total.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    total.cpu_seconds = process_cpu_seconds() - cpu_start;
    total.user_cpu_seconds = process_user_cpu_seconds() - user_cpu_start;
    return total;
}

// ---------------------------------------------------------------- handshakes alone

// One handshake of `client` with the peer reached at `to`, initiation sent
// to keepalive sent, timed around the session call itself; nothing when it
// did not complete.
std::optional<double> handshake_ms(Peer& peer, Client& client, const SocketAddress& to) {
    pace(client);
    auto socket = open_probe_socket(to);
    if (!socket) return std::nullopt;
    wireguard::Tunn tunnel(client.private_key.bytes(), peer.public_key, std::nullopt, std::nullopt, random_u32());
    const Instant begun = Clock::now();
    const SessionOutcome outcome = establish_session(*socket, to, tunnel, begun + 3s);
    const Instant ended = Clock::now();
    if (!std::holds_alternative<SessionStart>(outcome)) return std::nullopt;
    return ms_between(begun, ended);
}

std::vector<double> handshake_times(Peer& peer, std::size_t samples) {
    std::vector<double> times;
    const SocketAddress endpoint = parse_socket_address_literal(peer.real.info().endpoint_ipv4).value();
    auto done = peer::run_in_peer_namespace(peer.real.info().namespace_name, [&] {
        for (std::size_t i = 0; i < samples; ++i) {
            if (auto ms = handshake_ms(peer, peer.clients[i % peer.clients.size()], endpoint)) times.push_back(*ms);
        }
    });
    if (!done) std::fprintf(stderr, "could not enter the peer's namespace: %s\n", done.error().c_str());
    return times;
}

// A forwarder in front of the peer, inside its namespace: carries datagrams
// both ways, dropping those from the prober that `drop` picks and those from
// the peer that `drop_back` picks (each sees a datagram and its position in
// its direction, counted from 1).
class Forwarder {
public:
    using Drop = std::function<bool(std::size_t position, std::size_t bytes)>;

    static std::optional<Forwarder> open(const SocketAddress& peer_endpoint, Drop drop, Drop drop_back = {}) {
        auto front = peer::ScriptedPeer::open(AF_INET);
        auto upstream = open_probe_socket(peer_endpoint);
        if (!front || !upstream) return std::nullopt;
        return std::optional<Forwarder>(std::in_place, std::move(*front), std::move(*upstream), std::move(drop),
                                        std::move(drop_back));
    }
    Forwarder(peer::ScriptedPeer front, UdpSocket upstream, Drop drop, Drop drop_back)
        : front_(std::make_unique<peer::ScriptedPeer>(std::move(front))),
          upstream_(std::make_unique<UdpSocket>(std::move(upstream))),
          drop_(drop ? std::move(drop) : keep_all),
          drop_back_(drop_back ? std::move(drop_back) : keep_all),
          carry_([this](std::stop_token stop) { run(stop); }) {}

    const SocketAddress& address() const { return front_->address(); }
    std::size_t from_prober() const { return from_prober_; }

private:
    void run(std::stop_token stop) {
        std::vector<std::uint8_t> buffer(65535);
        std::optional<SocketAddress> prober;
        while (!stop.stop_requested()) {
            auto forth = front_->receive(2ms);
            if (forth && *forth) {
                prober = (*forth)->from;
                if (!drop_(++from_prober_, (*forth)->bytes.size())) {
                    (void)send(*upstream_, (*forth)->bytes, Clock::now() + 1s);
                }
            }
            const IoOutcome back = recv(*upstream_, buffer, Clock::now() + 2ms);
            if (back.kind == IoOutcome::Kind::done && prober && !drop_back_(++from_peer_, back.bytes)) {
                (void)front_->send_to(std::span(buffer).first(back.bytes), *prober);
            }
        }
    }

    static bool keep_all(std::size_t, std::size_t) { return false; }

    std::unique_ptr<peer::ScriptedPeer> front_;
    std::unique_ptr<UdpSocket> upstream_;
    Drop drop_;
    Drop drop_back_;
    std::atomic<std::size_t> from_prober_{0};
    std::size_t from_peer_ = 0;
    std::jthread carry_;  // last: stops and joins first
};

// A handshake whose first initiation is lost: the resend a second later is
// what a lossy path costs.
std::vector<double> lost_initiation_handshake_times(Peer& peer, std::size_t samples) {
    std::vector<double> times;
    const SocketAddress endpoint = parse_socket_address_literal(peer.real.info().endpoint_ipv4).value();
    auto done = peer::run_in_peer_namespace(peer.real.info().namespace_name, [&] {
        for (std::size_t i = 0; i < samples; ++i) {
            auto forwarder = Forwarder::open(endpoint, [](std::size_t position, std::size_t) { return position == 1; });
            if (!forwarder) continue;
            if (auto ms = handshake_ms(peer, peer.clients[i % peer.clients.size()], forwarder->address())) {
                times.push_back(*ms);
            }
        }
    });
    if (!done) std::fprintf(stderr, "could not enter the peer's namespace: %s\n", done.error().c_str());
    return times;
}

// A whole probe with one check whose first request (echo) or first answer
// (DNS) is lost: the check's resend is what a lossy path costs it. Positions:
// towards the peer the initiation, the keepalive, then the request; back the
// response, then the answer.
std::vector<double> lost_check_probe_times(Peer& peer, std::size_t samples, bool dns) {
    std::vector<double> times;
    const SocketAddress endpoint = parse_socket_address_literal(peer.real.info().endpoint_ipv4).value();
    auto done = peer::run_in_peer_namespace(peer.real.info().namespace_name, [&] {
        for (std::size_t i = 0; i < samples; ++i) {
            Client& client = peer.clients[i % peer.clients.size()];
            auto forwarder = dns ? Forwarder::open(endpoint, {}, [](std::size_t position, std::size_t) { return position == 2; })
                                 : Forwarder::open(endpoint, [](std::size_t position, std::size_t) { return position == 3; });
            if (!forwarder) continue;
            pace(client);
            ProbePlan plan = probe_plan(peer, client, ProbeKind::ping_and_dns);
            plan.config.endpoint = forwarder->address().to_text();
            if (dns) plan.ping.clear(); else plan.resolve.clear();
            const Instant begun = Clock::now();
            const ProbeReport report = probe(std::move(plan), {});
            if (report.verdict == Verdict::data_plane_confirmed) times.push_back(ms_between(begun, Clock::now()));
        }
    });
    if (!done) std::fprintf(stderr, "could not enter the peer's namespace: %s\n", done.error().c_str());
    return times;
}

// What the path checks cost: the MTU search through a path that drops every
// datagram above 1200 bytes (echoes and bytes against the fewest sizes a
// binary search over the padding steps of 576..1420 must try), and ten echoes 10 ms apart against
// ten round trips.
void print_path_check_costs(Peer& peer) {
    const peer::PeerInfo& info = peer.real.info();
    const SocketAddress endpoint = parse_socket_address_literal(info.endpoint_ipv4).value();
    auto done = peer::run_in_peer_namespace(info.namespace_name, [&] {
        Client& client = peer.clients.front();
        pace(client);
        auto forwarder = Forwarder::open(endpoint, [](std::size_t, std::size_t bytes) { return bytes > 1200; });
        if (!forwarder) return;
        ProbePlan plan = probe_plan(peer, client, ProbeKind::ping_and_dns);
        plan.config.endpoint = forwarder->address().to_text();
        plan.resolve.clear();
        plan.mtu_check = true;
        plan.ping_timeout = Duration::from_millis(200);
        const ProbeReport mtu = probe(std::move(plan), {});
        const PhaseResult* phase = path_mtu_phase(mtu);
        // Handshake, keepalive and the one small echo came before the search.
        const std::size_t echoes = forwarder->from_prober() - 3;
        // The expected size and 576 first, then a binary search over the
        // 16-byte padding steps between them; a size that does not cross
        // costs five echoes, one that crosses usually one.
        const double fewest = std::ceil(std::log2(1424.0 / 16 - 576.0 / 16 + 1)) + 2;
        if (phase != nullptr) {
            std::printf("  %-50s %9zu echoes %9llu bytes sent %9.1f ms  (%s)\n", "path MTU search, black hole at 1200",
                        echoes, static_cast<unsigned long long>(phase->sent_bytes),
                        std::chrono::duration<double, std::milli>(phase->elapsed).count(),
                        phase->detail.value_or("").c_str());
            print_ratio("MTU search echoes / fewest sizes to try", static_cast<double>(echoes), fewest);
        }

        pace(client);
        ProbePlan pings = probe_plan(peer, client, ProbeKind::ping_and_dns);
        pings.resolve.clear();
        pings.ping_count = 10;
        pings.ping_interval = Duration::from_millis(10);
        const Instant begun = Clock::now();
        const ProbeReport report = probe(std::move(pings), {});
        const double wall_ms = ms_between(begun, Clock::now());
        Clock::duration round_trips{};
        for (const PhaseResult& each : report.phases) {
            if (each.phase == phase_name::ping) round_trips += each.elapsed;
        }
        const double round_trips_ms = std::chrono::duration<double, std::milli>(round_trips).count();
        std::printf("  %-50s %9.3f ms for the whole probe, its ten round trips %.3f ms\n",
                    "--ping-count 10 --ping-interval-ms 10", wall_ms, round_trips_ms);
        print_ratio("ten echoes 10 ms apart: probe / ten round trips", wall_ms, round_trips_ms);
    });
    if (!done) std::fprintf(stderr, "could not enter the peer's namespace: %s\n", done.error().c_str());
}

// ---------------------------------------------------------------- deadline overshoot

// A handshake against a socket that never answers ends at its deadline; how
// much later does the call return?
std::vector<double> silent_handshake_overshoot(std::size_t samples, Duration limit) {
    std::vector<double> overshoot;
    auto silent = peer::ScriptedPeer::open(AF_INET);
    if (!silent) {
        std::fprintf(stderr, "%s\n", silent.error().c_str());
        return overshoot;
    }
    const Client client = new_client("10.0.0.2/32");
    const Client stranger = new_client("10.0.0.3/32");
    for (std::size_t i = 0; i < samples; ++i) {
        auto socket = open_probe_socket(silent->address());
        if (!socket) continue;
        wireguard::Tunn tunnel(client.private_key.bytes(), stranger.public_key, std::nullopt, std::nullopt,
                               random_u32());
        const Instant deadline = Clock::now() + *limit.to_clock();
        establish_session(*socket, silent->address(), tunnel, deadline);
        overshoot.push_back(ms_between(deadline, Clock::now()));
        silent->drain();
    }
    return overshoot;
}

// A ping to a tunnel address where nobody answers, on an established session.
std::vector<double> unanswered_ping_overshoot(Peer& peer, std::size_t samples, Duration limit) {
    std::vector<double> overshoot;
    const SocketAddress endpoint = parse_socket_address_literal(peer.real.info().endpoint_ipv4).value();
    auto done = peer::run_in_peer_namespace(peer.real.info().namespace_name, [&] {
        Client& client = peer.clients.front();
        pace(client);
        auto socket = open_probe_socket(endpoint);
        if (!socket) return;
        wireguard::Tunn tunnel(client.private_key.bytes(), peer.public_key, std::nullopt, std::nullopt, random_u32());
        if (!std::holds_alternative<SessionStart>(establish_session(*socket, endpoint, tunnel, Clock::now() + 2s))) {
            std::fprintf(stderr, "no session for the unanswered pings\n");
            return;
        }
        const Ipv4Octets source = Ipv4Cidr::from_str(client.address).value().address.octets;
        const Ipv4Octets nobody{10, 99, 0, 77};
        for (std::size_t i = 0; i < samples; ++i) {
            const auto request = icmp_echo_request(source, nobody, static_cast<std::uint16_t>(random_u32()), 1,
                                                   static_cast<std::uint16_t>(i));
            const Instant deadline = Clock::now() + *limit.to_clock();
            exchange(*socket, endpoint, tunnel,
                     same_packet_request(request, [](std::span<const std::uint8_t>) -> std::optional<ExchangeRequest::Answer> {
                         return std::nullopt;
                     }),
                     ExchangeLimits{deadline, ExchangeOutcome::Limit::check_deadline, Instant::max()});
            overshoot.push_back(ms_between(deadline, Clock::now()));
        }
    });
    if (!done) std::fprintf(stderr, "could not enter the peer's namespace: %s\n", done.error().c_str());
    return overshoot;
}

// A host-name lookup whose DNS server never answers: inside the peer's
// namespace, whose resolv.conf names 127.0.0.1, with a silent socket bound
// to 127.0.0.1:53. Each abandoned lookup keeps its resolver worker until the
// system resolver gives up, so samples wait for a free worker first.
std::vector<double> hanging_resolution_overshoot(const Peer& peer, std::size_t samples, Duration limit) {
    std::vector<double> overshoot;
    auto done = peer::run_in_peer_namespace(peer.real.info().namespace_name, [&] {
        const int dns = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(53);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (dns < 0 || ::bind(dns, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            std::fprintf(stderr, "could not bind the silent DNS server: %s\n", os_error_text(errno).c_str());
            if (dns >= 0) ::close(dns);
            return;
        }
        for (std::size_t i = 0; i < samples; ++i) {
            const Instant wait_end = Clock::now() + 10s;
            while (active_resolver_workers() >= resolver_worker_limit() && Clock::now() < wait_end) {
                std::this_thread::sleep_for(5ms);
            }
            const Instant deadline = Clock::now() + *limit.to_clock();
            const ResolveOutcome outcome =
                resolve_endpoint("hang-" + std::to_string(i) + ".quorlin.invalid:51820", limit);
            const Instant ended = Clock::now();
            if (!outcome && outcome.error().message == "endpoint resolution exceeded the overall deadline") {
                overshoot.push_back(ms_between(deadline, ended));
            }
        }
        ::close(dns);
    });
    if (!done) std::fprintf(stderr, "could not enter the peer's namespace: %s\n", done.error().c_str());
    return overshoot;
}

// ---------------------------------------------------------------- main

void print_run(const char* what, const ProbeRun& run) {
    std::printf("  %-50s %9.1f probes/s  %9.1f us CPU per probe  (%zu of %zu confirmed)\n", what,
                run.probes_per_second(), run.cpu_us_per_probe(), run.confirmed, run.probes);
}

int run(int argc, char** argv) {
    check_arguments(argc, argv);
    const std::size_t probes = std::max<std::size_t>(count_argument(argc, argv, "--probes", 400), 2);
    const std::size_t samples = count_argument(argc, argv, "--samples", 100);
    const Duration short_limit = Duration::from_millis(50);
    const Duration resolution_limit = Duration::from_millis(100);

    std::printf("quorlin probe engine benchmarks (figures, never pass/fail)\n\n");

    std::printf("X25519 through libsodium, called directly (the floor of a handshake's CPU time)\n");
    const X25519Cost x25519 = measure_x25519(2000);
    print_x25519_cost(x25519);

    std::printf("\ndeadline overshoot: how long after its deadline a bounded wait returns\n");
    const Summary silent = summarize(silent_handshake_overshoot(samples, short_limit));
    print_overshoot("handshake against a silent peer, limit 50 ms", silent, 50);

    const auto unavailable = peer::peer_unavailable_reason();
    if (unavailable) {
        std::printf("\nthe real peer cannot run here (%s): no further figures\n", unavailable->c_str());
        return 0;
    }
    auto peer = start_peer(client_count);
    if (!peer) return 1;

    const Summary ping = summarize(unanswered_ping_overshoot(*peer, samples, short_limit));
    print_overshoot("ping nobody answers, limit 50 ms", ping, 50);
    const std::size_t lookups = std::min<std::size_t>(samples, 16);
    const Summary resolution = summarize(hanging_resolution_overshoot(*peer, lookups, resolution_limit));
    print_overshoot("host-name lookup that hangs, limit 100 ms", resolution, 100);

    std::printf("\nagainst a real local peer (wireguard-go + dnsmasq; %zu clients in rotation, each handshaking at "
                "most every %lld ms, which caps the rate at %.0f probes/s)\n",
                peer->clients.size(), static_cast<long long>(client_spacing.count()),
                static_cast<double>(peer->clients.size()) * 1000.0 / static_cast<double>(client_spacing.count()));
    const Summary handshake = summarize(handshake_times(*peer, samples * 2));
    print_summary("handshake alone (initiation to keepalive sent)", handshake, "ms");
    const Summary lost = summarize(lost_initiation_handshake_times(*peer, std::min<std::size_t>(samples, 5)));
    print_summary("handshake, the first initiation lost", lost, "ms");
    const std::size_t lossy = std::min<std::size_t>(samples, 5);
    print_summary("probe with one ping, its first echo lost", summarize(lost_check_probe_times(*peer, lossy, false)), "ms");
    print_summary("probe with one DNS query, its first answer lost", summarize(lost_check_probe_times(*peer, lossy, true)),
                  "ms");
    print_path_check_costs(*peer);

    // One thread each, so that process CPU time is the probes' own.
    const ProbeRun bare = run_probes(*peer, ProbeKind::handshake_only, probes, 1);
    const ProbeRun full = run_probes(*peer, ProbeKind::ping_and_dns, probes, 1);
    const ProbeRun full_two = run_probes(*peer, ProbeKind::ping_and_dns, probes, 2);
    const Summary bare_ms = summarize(bare.probe_ms);
    const Summary full_ms = summarize(full.probe_ms);
    const Summary handshake_in_full = summarize(full.handshake_ms);
    std::printf("  wall time of one probe, from the call to its report\n");
    print_summary(kind_text(ProbeKind::handshake_only), bare_ms, "ms");
    print_summary(kind_text(ProbeKind::ping_and_dns), full_ms, "ms");
    print_summary("  its handshake phase", handshake_in_full, "ms");
    std::printf("  runs (CPU time of the whole process over the run, divided by its probes)\n");
    print_run("handshake only, 1 thread", bare);
    print_run("handshake + 1 ping + 1 DNS, 1 thread", full);
    print_run("handshake + 1 ping + 1 DNS, 2 threads", full_two);

    std::printf("\nratios (wall times are medians unless marked; CPU time per probe from the runs above, set against "
                "X25519 measured in this run)\n");
    print_ratio("CPU per handshake-only probe / 4 DH", bare.cpu_us_per_probe(), x25519.four_dh_us());
    print_ratio("CPU per probe with ping + DNS / 4 DH", full.cpu_us_per_probe(), x25519.four_dh_us());
    // A probe computes two public keys (the client's, derived once when its
    // key is made and shared by the report and the tunnel; the handshake's
    // ephemeral) and four DH: the floor. The goal is 1.25 or less.
    print_ratio("CPU per handshake-only probe / X25519 floor", bare.cpu_us_per_probe(), x25519.probe_floor_us());
    print_ratio("user CPU per handshake-only probe / X25519 floor", bare.user_cpu_us_per_probe(),
                x25519.probe_floor_us());
    print_ratio("CPU: probe with ping + DNS / handshake only", full.cpu_us_per_probe(), bare.cpu_us_per_probe());
    print_ratio("wall: probe with ping + DNS / handshake only", full_ms.median, bare_ms.median);
    print_ratio("wall p99: probe with ping + DNS / handshake only", full_ms.p99, bare_ms.p99);
    print_ratio("handshake phase / whole probe with ping + DNS", handshake_in_full.median, full_ms.median);
    print_ratio("2 threads / 1 thread (probes per second)", full_two.probes_per_second(), full.probes_per_second());
    print_ratio("silent-peer overshoot / real handshake", silent.median, handshake.median);

    print_service_figures(*peer, ServiceBenchCounts{.wall_samples = std::min<std::size_t>(samples, 30),
                                                    .cpu_probes = std::min<std::size_t>(probes, 100),
                                                    .rss_runs = 5});

    auto stopped = peer->real.stop();
    if (!stopped) std::fprintf(stderr, "tearing the peer down: %s\n", stopped.error().c_str());
    return 0;
}

}  // namespace
}  // namespace quorlin::bench

int main(int argc, char** argv) { return quorlin::bench::run(argc, argv); }
