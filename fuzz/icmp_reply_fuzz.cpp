// Feeds arbitrary bytes to the ICMP echo reply matcher. With an odd first byte
// the header and ICMP checksums are recomputed first, so the fuzzer reaches
// the checks that sit behind them.

#include "packet/checksum.hpp"
#include "packet/icmp.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

using namespace quorlin;

const Ipv4Octets target{10, 0, 0, 1};
const Ipv4Octets client{10, 0, 0, 2};

void store16(std::span<std::uint8_t> bytes, std::size_t offset, std::uint16_t value) {
    bytes[offset] = static_cast<std::uint8_t>(value >> 8);
    bytes[offset + 1] = static_cast<std::uint8_t>(value);
}

void repair(std::vector<std::uint8_t>& packet) {
    if (packet.size() < 20) return;
    const std::size_t header = static_cast<std::size_t>(packet[0] & 0x0F) * 4;
    if (header < 20 || header > packet.size()) return;
    const std::span<std::uint8_t> bytes(packet);
    store16(bytes, 10, 0);
    store16(bytes, 10, internet_checksum(bytes.first(header)));
    const std::size_t total = std::min<std::size_t>(packet.size(), (packet[2] << 8) | packet[3]);
    if (total < header + 4) return;
    const auto icmp = bytes.subspan(header, total - header);
    store16(icmp, 2, 0);
    store16(icmp, 2, internet_checksum(icmp));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::vector<std::uint8_t> packet(data + 1, data + size);
    if (data[0] & 1) repair(packet);
    (void)is_icmp_echo_reply(packet, target, client, 0x0102, 3);
    return 0;
}
