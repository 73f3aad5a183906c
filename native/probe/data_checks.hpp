#pragma once
// The data-plane checks after an authenticated handshake: one ICMP echo per
// ping target, then one DNS A query per name, each as its own phase.

#include "common/clock.hpp"
#include "common/socket_address.hpp"
#include "config/ip_address.hpp"
#include "probe/plan.hpp"
#include "probe/recorder.hpp"
#include "probe/report.hpp"
#include "probe/udp_socket.hpp"
#include "wireguard/tunnel.hpp"

#include <optional>

namespace quorlin {

struct DataCheckContext {
    UdpSocket& socket;
    const SocketAddress& endpoint;
    wireguard::Tunn& tunnel;
    const ProbePlan& plan;
    Instant overall_deadline;
    Instant run_start;
    const EventSink& sink;
    Ipv4Address inner_source;
    std::optional<Ipv4Address> dns_server;
};

// Records every check in plan order; true once at least one check passed.
bool run_data_checks(ProbeReport& report, const DataCheckContext& context);

}  // namespace quorlin
