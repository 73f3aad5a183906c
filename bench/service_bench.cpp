#include "service_bench.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench_processes.hpp"
#include "bench_services.hpp"
#include "config/ipv4_cidr.hpp"
#include "input/service_target_text.hpp"
#include "peer/netns_guard.hpp"
#include "probe/probe.hpp"

#ifndef QUORLIN_COMMAND_EXECUTABLE
#define QUORLIN_COMMAND_EXECUTABLE ""
#endif

namespace quorlin::bench {
namespace {

// ---------------------------------------------------------------- kinds of check

enum class Check { none, ping, tcp, tls, http, https };

struct CheckKind {
    Check check;
    const char* name;         // as the option names it
    const char* what;         // the figure's label
    std::string_view phase;   // the check's phase in the report
    int floor_round_trips;    // the fewest round trips the check needs after the handshake
    const char* floor_parts;  // what they are
};

// TLS 1.3 completes in one round trip (the client's Finished travels with
// its first data), so a TLS check needs the TCP handshake and one more.
constexpr CheckKind service_kinds[] = {
    {Check::tcp, "tcp", "handshake + 1 tcp check", phase_name::tcp, 1, "SYN"},
    {Check::tls, "tls", "handshake + 1 tls check", phase_name::tls, 2, "SYN, TLS 1.3 hello"},
    {Check::http, "http://", "handshake + 1 http:// check", phase_name::http, 2, "SYN, GET"},
    {Check::https, "https://", "handshake + 1 https:// check", phase_name::http, 3, "SYN, TLS 1.3 hello, GET"},
};

// A plan with the tunnel's addresses and `check` against the services.
ProbePlan service_plan(const Peer& peer, const Client& client, const BenchServices& services, Check check) {
    const peer::PeerInfo& info = peer.real.info();
    ProbePlan plan(ProbeConfig(client.private_key.clone(), peer.public_key, info.endpoint_ipv4));
    plan.handshake_timeout = plan.ping_timeout = plan.dns_timeout = Duration::from_millis(2000);
    plan.tcp_timeout = Duration::from_millis(3000);
    plan.overall_deadline = Duration::from_millis(10'000);
    const Ipv4Address tunnel_ip = parse_ipv4_address(info.peer_tunnel_ip).value();
    plan.config.set_data_config(Ipv4Cidr::from_str(client.address).value(), {tunnel_ip},
                                {Ipv4Cidr::from_str(info.tunnel_address).value()});
    const std::string http_host = services.address() + ":" + std::to_string(services.http_port());
    const std::string tls_host = services.address() + ":" + std::to_string(services.tls_port());
    switch (check) {
        case Check::none: break;
        case Check::ping: plan.ping = {tunnel_ip}; break;
        case Check::tcp: plan.tcp = {input::parse_tcp_target(http_host, "--tcp").value()}; break;
        case Check::tls: plan.tls = {input::parse_tls_target(tls_host, "--tls").value()}; break;
        case Check::http: plan.http = {input::parse_http_url("http://" + http_host + "/", "--http").value()}; break;
        case Check::https: plan.http = {input::parse_http_url("https://" + tls_host + "/", "--http").value()}; break;
    }
    if (check == Check::tls || check == Check::https) plan.ca_certificates = services.ca_pem();
    return plan;
}

// ---------------------------------------------------------------- runs

struct ServiceRun {
    std::size_t probes = 0;
    std::size_t passed = 0;  // the check's phase passed and its service answered as asked
    std::vector<double> probe_ms;
    std::vector<double> phase_ms;       // the check's phase
    double cpu_seconds = 0;             // the whole process over the run
    double user_cpu_seconds = 0;
};

const PhaseResult* find_phase(const ProbeReport& report, std::string_view name) {
    const auto found = std::find_if(report.phases.begin(), report.phases.end(),
                                    [&](const PhaseResult& p) { return p.phase == name; });
    return found == report.phases.end() ? nullptr : &*found;
}

double to_ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// `count` probes one after another on one thread, so that process CPU time
// is theirs; pacing sleeps and costs none.
ServiceRun run_checks(Peer& peer, const BenchServices& services, Check check, std::string_view phase,
                      std::size_t count) {
    ServiceRun run;
    auto done = peer::run_in_peer_namespace(peer.real.info().namespace_name, [&] {
        const double cpu_start = process_cpu_seconds();
        const double user_start = process_user_cpu_seconds();
        for (std::size_t i = 0; i < count; ++i) {
            Client& client = peer.clients[i % peer.clients.size()];
            ProbePlan plan = service_plan(peer, client, services, check);
            pace(client);
            const Instant begun = Clock::now();
            const ProbeReport report = probe(std::move(plan), {});
            run.probe_ms.push_back(ms_between(begun, Clock::now()));
            ++run.probes;
            if (check == Check::none) continue;
            const PhaseResult* result = find_phase(report, phase);
            if (result == nullptr || result->status != PhaseStatus::passed || result->service_failure) continue;
            ++run.passed;
            run.phase_ms.push_back(to_ms(result->elapsed));
        }
        run.cpu_seconds = process_cpu_seconds() - cpu_start;
        run.user_cpu_seconds = process_user_cpu_seconds() - user_start;
    });
    if (!done) std::fprintf(stderr, "could not enter the peer's namespace: %s\n", done.error().c_str());
    return run;
}

// ---------------------------------------------------------------- wall time against round trips

void print_wall_figures(Peer& peer, const BenchServices& services, std::size_t samples) {
    // The unit is the ping's whole phase, sealing and opening included, as
    // the other checks' phases are: the try's own round trip is timed from
    // after its send returns, which a busy machine can make later than the
    // answer's arrival.
    const ServiceRun ping = run_checks(peer, services, Check::ping, phase_name::ping, samples);
    const Summary round_trip = summarize(ping.phase_ms);
    print_summary("handshake + 1 ping", summarize(ping.probe_ms), "ms");
    print_summary("  its ping phase: one round trip in the tunnel", round_trip, "ms");

    struct Row {
        const CheckKind* kind;
        Summary phase;
    };
    std::vector<Row> rows;
    for (const CheckKind& kind : service_kinds) {
        const ServiceRun run = run_checks(peer, services, kind.check, kind.phase, samples);
        const Summary wall = summarize(run.probe_ms);
        std::printf("  %-50s median %9.3f ms  p90 %9.3f ms  (%zu of %zu passed)\n", kind.what, wall.median, wall.p90,
                    run.passed, run.probes);
        rows.push_back({&kind, summarize(run.phase_ms)});
    }
    std::printf("  the check's phase against its round-trip floor (the fewest round trips after the handshake, "
                "each the ping phase's median %.3f ms)\n", round_trip.median);
    std::printf("  %-36s %14s %14s %14s %10s\n", "", "phase median", "phase p90", "floor", "ratio");
    for (const Row& row : rows) {
        const double floor_ms = row.kind->floor_round_trips * round_trip.median;
        char floor_text[64];
        std::snprintf(floor_text, sizeof floor_text, "%d = %.3f ms", row.kind->floor_round_trips, floor_ms);
        char label[64];
        std::snprintf(label, sizeof label, "%s (%s)", row.kind->name, row.kind->floor_parts);
        std::printf("  %-36s %11.3f ms %11.3f ms %14s %10.2f\n", label, row.phase.median, row.phase.p90, floor_text,
                    floor_ms > 0 ? row.phase.median / floor_ms : 0.0);
    }
}

// ---------------------------------------------------------------- CPU per TLS handshake

struct OpensslHandshakes {
    long connections = 0;
    double per_user_second = 0;  // s_time's own figure
    double cpu_seconds = 0;      // its process's user + system time
    double wall_seconds = 0;     // the whole run, start-up included
};

// `openssl s_time -new` against the same server from inside the namespace,
// outside the tunnel, verifying the chain as the check does.
std::optional<OpensslHandshakes> openssl_handshakes(Peer& peer, const BenchServices& services, int seconds) {
    std::optional<OpensslHandshakes> result;
    auto done = peer::run_in_peer_namespace(peer.real.info().namespace_name, [&] {
        const Instant begun = Clock::now();
        auto ran = run_to_end({"openssl", "s_time", "-connect",
                               services.address() + ":" + std::to_string(services.tls_port()), "-new", "-time",
                               std::to_string(seconds), "-CAfile", services.ca_file().string(), "-verify", "1"},
                              std::chrono::seconds(seconds + 20));
        if (!ran) {
            std::fprintf(stderr, "openssl s_time: %s\n", ran.error().c_str());
            return;
        }
        // "N connections in Us; R connections/user sec, bytes read B"
        const std::string& out = ran->output;
        const auto figure = out.find("connections/user sec");
        const auto line_end = figure == std::string::npos ? std::string::npos : out.rfind('\n', figure);
        const char* line = out.c_str() + (line_end == std::string::npos ? 0 : line_end + 1);
        OpensslHandshakes handshakes;
        double user_seconds = 0;
        if (figure == std::string::npos ||
            std::sscanf(line, "%ld connections in %lfs; %lf", &handshakes.connections, &user_seconds,
                        &handshakes.per_user_second) != 3 ||
            handshakes.connections <= 0) {
            std::fprintf(stderr, "openssl s_time gave no figure (output: %s)\n", ran->output.c_str());
            return;
        }
        handshakes.cpu_seconds = ran->cpu_seconds();
        handshakes.wall_seconds = ms_between(begun, Clock::now()) / 1000.0;
        result = handshakes;
    });
    if (!done) std::fprintf(stderr, "could not enter the peer's namespace: %s\n", done.error().c_str());
    return result;
}

void print_tls_cpu(Peer& peer, const BenchServices& services, std::size_t probes) {
    constexpr int s_time_seconds = 5;
    std::printf("\nCPU per TLS check: %zu probes with one tls check less %zu handshake-only probes, per probe; "
                "against openssl s_time -new to the same server outside the tunnel (%d s)\n",
                probes, probes, s_time_seconds);
    std::fflush(stdout);
    const ServiceRun bare = run_checks(peer, services, Check::none, {}, probes);
    const ServiceRun tls = run_checks(peer, services, Check::tls, phase_name::tls, probes);
    const double n = static_cast<double>(probes);
    const double check_us = (tls.cpu_seconds - bare.cpu_seconds) * 1e6 / n;
    const double check_user_us = (tls.user_cpu_seconds - bare.user_cpu_seconds) * 1e6 / n;
    std::printf("  %-50s %9.1f us CPU  %9.1f us user  (%zu of %zu passed)\n", "one tls check through the tunnel",
                check_us, check_user_us, tls.passed, tls.probes);
    const auto openssl = openssl_handshakes(peer, services, s_time_seconds);
    if (!openssl) return;
    const double conns = static_cast<double>(openssl->connections);
    const double openssl_us = openssl->cpu_seconds * 1e6 / conns;
    const double openssl_user_us = 1e6 / openssl->per_user_second;
    std::printf("  %-50s %9.1f us CPU  %9.1f us user  (%ld handshakes, %.1f connections per user-second)\n",
                "one handshake by openssl s_time -new", openssl_us, openssl_user_us, openssl->connections,
                openssl->per_user_second);
    print_ratio("CPU: tls check / openssl handshake (goal <= 1.5)", check_us, openssl_us);
    print_ratio("user CPU: tls check / openssl handshake", check_user_us, openssl_user_us);
    // s_time's handshakes follow each other, so its wall time per handshake
    // is one connection, handshake and close outside the tunnel.
    const double openssl_wall_ms = openssl->wall_seconds * 1e3 / conns;
    const Summary phase = summarize(tls.phase_ms);
    std::printf("  %-50s %9.3f ms wall  (tls phase of those %zu probes: median %.3f ms)\n",
                "one openssl handshake, one after another", openssl_wall_ms, probes, phase.median);
    print_ratio("wall: tls phase / openssl handshake", phase.median, openssl_wall_ms);
}

// ---------------------------------------------------------------- the command's memory

void print_command_rss(Peer& peer, const BenchServices& services, std::size_t runs) {
    const std::filesystem::path quorlin = QUORLIN_COMMAND_EXECUTABLE;
    std::printf("\nthe quorlin command with one https:// check (%zu runs)\n", runs);
    if (quorlin.empty() || !std::filesystem::exists(quorlin)) {
        std::printf("  the quorlin executable is not built (%s): skipped\n", quorlin.c_str());
        return;
    }
    const std::string gnu_time = "/usr/bin/time";
    if (!std::filesystem::exists(gnu_time)) {
        std::printf("  %s is not installed (scripts/bench.sh installs it): skipped\n", gnu_time.c_str());
        return;
    }
    const peer::PeerInfo& info = peer.real.info();
    const std::filesystem::path config = services.folder() / "wg-bench.conf";
    {
        std::ofstream out(config);
        ::chmod(config.c_str(), 0600);
        out << "[Interface]\nPrivateKey = " << info.client_private_key << "\nAddress = " << info.client_address
            << "\n\n[Peer]\nPublicKey = " << info.peer_public_key << "\nEndpoint = " << info.endpoint_ipv4
            << "\nAllowedIPs = " << info.tunnel_address << "\n";
    }
    const std::string url = "https://" + services.address() + ":" + std::to_string(services.tls_port()) + "/";
    std::vector<double> rss_mib;
    std::string last_status;
    auto done = peer::run_in_peer_namespace(info.namespace_name, [&] {
        for (std::size_t i = 0; i < runs; ++i) {
            // Runs with one key take turns: spaced wider, none waits.
            if (i > 0) std::this_thread::sleep_for(60ms);
            // Through GNU time: a child spawned from this process would count
            // this process's own peak RSS as its own.
            const std::filesystem::path rss_file = services.folder() / "rss";
            auto ran = run_to_end({gnu_time, "-f", "%M", "-o", rss_file.string(), quorlin.string(), config.string(),
                                   "--http", url, "--ca-file", services.ca_file().string(), "--nagios"},
                                  std::chrono::seconds(20));
            if (!ran) {
                std::fprintf(stderr, "quorlin: %s\n", ran.error().c_str());
                continue;
            }
            long kib = 0;
            std::ifstream(rss_file) >> kib;
            if (kib > 0) rss_mib.push_back(static_cast<double>(kib) / 1024.0);
            last_status = ran->output.substr(0, std::min(ran->output.find('\n'), ran->output.find(" | ")));
        }
    });
    if (!done) std::fprintf(stderr, "could not enter the peer's namespace: %s\n", done.error().c_str());
    if (rss_mib.empty()) return;
    const Summary rss = summarize(rss_mib);
    std::printf("  %-50s median %6.2f MiB  max %6.2f MiB  (goal < 8 MiB)\n", "peak RSS of quorlin", rss.median,
                rss.max);
    std::printf("  %-50s %s\n", "its last line", last_status.c_str());
}

}  // namespace

void print_service_figures(Peer& peer, const ServiceBenchCounts& counts) {
    std::printf("\nservice checks through the tunnel (http.server and openssl s_server -www on the peer's tunnel "
                "address; %zu probes each)\n", counts.wall_samples);
    std::fflush(stdout);
    auto services = BenchServices::start(peer.real.info());
    if (!services) {
        std::fprintf(stderr, "could not start the services: %s\n", services.error().c_str());
        return;
    }
    print_wall_figures(peer, *services, counts.wall_samples);
    print_tls_cpu(peer, *services, counts.cpu_probes);
    print_command_rss(peer, *services, counts.rss_runs);
}

}  // namespace quorlin::bench
