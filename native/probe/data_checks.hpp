#pragma once
// The data-plane checks after an authenticated handshake: the plan's count of
// ICMP echoes per ping target, then one DNS A query per name, then one TCP
// connection per port (tcp_check.hpp), each as its own phase, then the path
// MTU search when asked for (path_mtu.hpp).

#include "common/clock.hpp"
#include "common/socket_address.hpp"
#include "probe/plan.hpp"
#include "probe/recorder.hpp"
#include "probe/report.hpp"
#include "probe/session.hpp"
#include "probe/udp_socket.hpp"
#include "wireguard/tunnel.hpp"

namespace quorlin {

struct DataCheckContext {
    UdpSocket& socket;
    const SocketAddress& endpoint;
    wireguard::Tunn& tunnel;
    const ProbePlan& plan;
    Instant overall_deadline;
    Instant session_expiry;  // the session carries no traffic from here on
    Instant run_start;
    const EventSink& sink;
    Clock::duration path_round_trip{};  // the handshake's answered round trip
};

// Records every ping check, then every DNS check, in plan order, then the
// path MTU phase; true once at least one ping or DNS check passed.
bool run_data_checks(ProbeReport& report, const DataCheckContext& context);

// One A query for `name` to `server`, sent again on the retry schedule of
// `limits` with the same id and source port, as stub resolvers do: an answer
// to any try counts. A name the query builder refuses is an error outcome.
ExchangeOutcome dns_lookup(const DataCheckContext& context, const Ipv4Address& source, const Ipv4Address& server,
                           const std::string& name, const ExchangeLimits& limits);

// A check's deadline and which limit it is: the overall deadline when that
// comes first, so an unanswered check blames the right one. The check begins
// again on a new session (see ExchangeLimits); it is tried once unless a
// retry interval is added.
ExchangeLimits check_limits(const DataCheckContext& context, Instant check_start, Duration check_timeout);

// A check that waits for one answer is tried this many times, evenly within
// its limit (the default 1 s ping limit: every 200 ms; the default 2 s DNS
// limit: every 400 ms): with 10% loss each way a try's round trip is lost one
// time in five, all five one time in three thousand. Never sooner than one
// and a half round trips of the path: an answer then comes before the next
// try, and one that does not say which try it is for (DNS) is timed from the
// right one.
inline constexpr std::uint32_t answer_tries = 5;
Clock::duration answer_retry_interval(Clock::duration path_round_trip, Duration check_timeout);

}  // namespace quorlin
