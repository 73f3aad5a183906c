#pragma once
// The path MTU through the tunnel: the largest inner IPv4 packet that crosses
// to a ping target and back, found by echo requests padded to the size under
// test (inner don't-fragment bit set, payload checked in the reply), sent with
// the outer don't-fragment bit set. A binary search between the least size
// every IPv4 path carries (576) and the size expected, in steps of 16 bytes:
// WireGuard pads each data message to a multiple of 16, so the sizes of one
// step leave as the same datagram and share one answer. A lost echo is not a
// size limit: a size is too big only when several tries all go unanswered.
// It ends by the overall deadline at the latest. The sizes reported are inner
// packet sizes.

#include "probe/data_checks.hpp"

namespace quorlin {

// Records the `path_mtu` phase: passed when the expected size crosses;
// unconfirmed with the largest size that crossed and the smallest that did
// not; error for a size this machine's interface refuses, or a local failure.
void run_path_mtu_check(ProbeReport& report, const DataCheckContext& context, const Ipv4Address& source,
                        const Ipv4Address& target);

}  // namespace quorlin
