#pragma once
// The data-plane checks after an authenticated handshake: one ICMP echo per
// ping target, then one DNS A query per name, each as its own phase.

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

// Records every ping check, then every DNS check, in plan order; true once at
// least one of them passed.
bool run_data_checks(ProbeReport& report, const DataCheckContext& context);

}  // namespace quorlin
