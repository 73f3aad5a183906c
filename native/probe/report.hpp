#pragma once
// The report of one probe run: its verdict, what was probed, and one result per
// recorded phase, plus the progress events handed to an event sink while the
// run goes on. The JSON form lives in report_json.hpp.

#include "common/clock.hpp"
#include "common/socket_address.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorlin {

// Declaration order is part of the interface: the binding layer maps by it.
enum class PhaseStatus : std::uint8_t { passed, sent, unconfirmed, skipped, error };
enum class Verdict : std::uint8_t { authentication_confirmed, data_plane_confirmed, unconfirmed, local_error };

// The lower-case texts used unchanged in JSON and in the Python objects.
std::string_view status_text(PhaseStatus status) noexcept;
std::string_view verdict_text(Verdict verdict) noexcept;

// The fixed phase names.
namespace phase_name {
inline constexpr std::string_view validation = "validation";
inline constexpr std::string_view endpoint_resolution = "endpoint_resolution";
inline constexpr std::string_view socket = "socket";
inline constexpr std::string_view handshake = "handshake";
inline constexpr std::string_view keepalive = "keepalive";
inline constexpr std::string_view ping = "ping";
inline constexpr std::string_view dns = "dns";
inline constexpr std::string_view tcp = "tcp";
inline constexpr std::string_view tls = "tls";
inline constexpr std::string_view http = "http";
inline constexpr std::string_view path_mtu = "path_mtu";
}  // namespace phase_name

inline constexpr std::uint8_t report_schema_version = 1;

// Why a phase ended in `error`, as a number a caller can classify by (never
// shown in JSON): the system error number, or the host-name lookup's code.
struct FailureCause {
    enum class Kind : std::uint8_t { os_error, lookup_error };
    Kind kind = Kind::os_error;
    int code = 0;

    friend bool operator==(const FailureCause&, const FailureCause&) = default;
};

struct PhaseResult {
    std::string phase;
    std::optional<std::string> target;
    PhaseStatus status = PhaseStatus::error;
    std::uint64_t duration_ms = 0;
    std::uint64_t sent_bytes = 0;
    std::uint64_t received_bytes = 0;
    std::optional<std::string> detail;
    // The phase's exact duration on the engine's clock; duration_ms is its
    // whole milliseconds. Not part of the JSON.
    Clock::duration elapsed{};
    std::optional<FailureCause> cause;
    // A path_mtu phase's sizes: the one expected to cross and the largest that
    // did (absent when none did or the search did not get that far). Not part
    // of the JSON.
    struct PathMtuSizes {
        std::uint32_t expected = 0;
        std::optional<std::uint32_t> largest_crossed;
        friend bool operator==(const PathMtuSizes&, const PathMtuSizes&) = default;
    };
    std::optional<PathMtuSizes> path_mtu;
    // What a ping or DNS check that ran asked about, as given: the ping
    // target or the DNS name (the target text may say more, "NAME via
    // SERVER"). Not part of the JSON.
    std::optional<std::string> subject;
    // A handshake or check that passed: the round trip of the try that was
    // answered, and how many tries had gone out by then. A lost datagram's
    // wait is in `elapsed`, not here: loss is not latency. Not part of the
    // JSON.
    std::optional<Clock::duration> round_trip;
    std::uint32_t tries = 0;
    // A DNS check that was answered: the response code and how many A
    // records came. Not part of the JSON.
    struct DnsOutcome {
        std::uint8_t response_code = 0;
        std::size_t a_records = 0;
        friend bool operator==(const DnsOutcome&, const DnsOutcome&) = default;
    };
    std::optional<DnsOutcome> dns;
    // A service check whose service answered through the tunnel (so the
    // phase passed) but not as the check asks: the short clause that says
    // how ("refused", "certificate expired", "status 503"). Not part of the
    // JSON.
    std::optional<std::string> service_failure;
    // A TLS check that got a certificate: the leaf's notAfter, in seconds
    // since the Unix epoch. An HTTP check that got an answer: its status.
    // Not part of the JSON.
    std::optional<std::int64_t> certificate_not_after;
    std::optional<std::uint16_t> http_status;

    friend bool operator==(const PhaseResult&, const PhaseResult&) = default;
};

// The time a passed phase is judged by (thresholds, perfdata, round-trip
// figures): its answered try's round trip, else its whole duration.
inline Clock::duration measured_time(const PhaseResult& phase) noexcept {
    return phase.round_trip.value_or(phase.elapsed);
}

struct ProbeReport {
    // A report as a run begins: no phases, no addresses, counters 0, verdict
    // unconfirmed.
    ProbeReport(std::string endpoint_text, std::string client_public_key_base64)
        : endpoint(std::move(endpoint_text)), client_public_key(std::move(client_public_key_base64)) {}

    std::uint8_t schema_version = report_schema_version;
    Verdict verdict = Verdict::unconfirmed;
    std::string endpoint;  // as configured: host or address with port
    std::optional<SocketAddress> resolved_endpoint;
    std::optional<SocketAddress> local_udp_address;
    std::string client_public_key;
    std::uint64_t duration_ms = 0;
    // Running sums of the recorded phases' counts, kept by push_phase.
    std::uint64_t sent_bytes = 0;
    std::uint64_t received_bytes = 0;
    std::vector<PhaseResult> phases;
    // How long the run waited for its key's turn, when it took one (see
    // key_turn.hpp). Not part of the JSON.
    std::optional<Clock::duration> key_turn_wait;
    // The checks the run was asked for, as the caller gave them, so that a
    // run that ended before them still says what it did not check. Not part
    // of the JSON.
    struct AskedChecks {
        std::vector<std::string> ping;     // addresses, one check each
        std::vector<std::string> resolve;  // names, one check each
        std::vector<std::string> tcp;      // ADDR:PORT, one check each
        std::vector<std::string> tls;      // HOST:PORT, one check each
        std::vector<std::string> http;     // URLs, one check each
        bool path_mtu = false;             // to the first ping target
        friend bool operator==(const AskedChecks&, const AskedChecks&) = default;
    };
    AskedChecks asked;
};

enum class ProbeEventKind : std::uint8_t { started, finished };

// Progress of a run. A started event carries the target known when the phase
// begins; a finished event carries the recorded target and a copy of the result.
struct ProbeEvent {
    ProbeEventKind kind = ProbeEventKind::started;
    std::string phase;
    std::optional<std::string> target;
    std::uint64_t elapsed_ms = 0;
    std::optional<PhaseResult> result;

    friend bool operator==(const ProbeEvent&, const ProbeEvent&) = default;
};

// Whole milliseconds, remainder dropped, saturating at 2^64 - 1. A negative
// clock span (an instant taken before its start) counts as zero.
std::uint64_t millis(Clock::duration span) noexcept;

}  // namespace quorlin
