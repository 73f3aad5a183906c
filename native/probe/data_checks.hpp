#pragma once
// The data-plane checks after an authenticated handshake: the plan's count of
// ICMP echoes per ping target, then one DNS A query per name, each as its own
// phase, then the path MTU search when asked for (path_mtu.hpp).

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
};

// Records every ping check, then every DNS check, in plan order, then the
// path MTU phase; true once at least one ping or DNS check passed.
bool run_data_checks(ProbeReport& report, const DataCheckContext& context);

// A check's deadline and which limit it is: the overall deadline when that
// comes first, so an unanswered check blames the right one.
ExchangeLimits check_limits(const DataCheckContext& context, Instant check_start, Duration check_timeout);

}  // namespace quorlin
