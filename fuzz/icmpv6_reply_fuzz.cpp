// Feeds arbitrary bytes to the ICMPv6 echo reply matcher and the Packet Too
// Big reader. With an odd first byte the payload length and the ICMPv6
// checksum are set right first, so the fuzzer reaches the checks behind them.

#include "common/bytes.hpp"
#include "packet/icmpv6.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace {

using namespace quorlin;

const Ipv6Octets target{0xfd, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
const Ipv6Octets client{0xfd, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};

void repair(std::vector<std::uint8_t>& packet) {
    if (packet.size() < ipv6_header_bytes + 4 || packet.size() - ipv6_header_bytes > 0xFFFF) return;
    const std::span<std::uint8_t> bytes(packet);
    write_be16(bytes, 4, static_cast<std::uint16_t>(packet.size() - ipv6_header_bytes));
    const auto message = bytes.subspan(ipv6_header_bytes);
    write_be16(message, 2, 0);
    Ipv6Octets source{}, destination{};
    std::copy_n(packet.begin() + 8, 16, source.begin());
    std::copy_n(packet.begin() + 24, 16, destination.begin());
    write_be16(message, 2, pseudo_header_checksum(source, destination, packet[6], message));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::vector<std::uint8_t> packet(data + 1, data + size);
    if (data[0] & 1) repair(packet);
    (void)is_icmpv6_echo_reply(packet, target, client, 0x0102, 3);
    (void)icmpv6_packet_too_big_mtu(packet, client, target, 0x0102, 3);
    return 0;
}
