#pragma once
// The TCP check: does a port behind the peer accept a connection through the
// tunnel? A SYN (announcing the tunnel's MSS) is resent as TCP resends it,
// after 1 s and then twice as long each time, within the check's limit. A
// SYN-ACK passes (the connection is reset at once, so the server frees its
// side); a reset passes as a phase, since it crossed the tunnel, and the
// assessment counts the check as refused; silence is unconfirmed.

#include "probe/data_checks.hpp"

namespace quorlin {

// Records one tcp phase; true when it was answered (a SYN-ACK or a reset).
bool tcp_check(ProbeReport& report, const DataCheckContext& context, const Ipv4Address& source,
               const TcpTarget& target);

}  // namespace quorlin
