// Feeds arbitrary bytes to the ICMP echo reply matcher. With an odd first byte
// the header and ICMP checksums are recomputed first, so the fuzzer reaches
// the checks that sit behind them.

#include "ipv4_repair.hpp"
#include "packet/icmp.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

using namespace quorlin;

const Ipv4Octets target{10, 0, 0, 1};
const Ipv4Octets client{10, 0, 0, 2};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::vector<std::uint8_t> packet(data + 1, data + size);
    if (data[0] & 1) {
        const auto icmp = fuzz::repair_ipv4_header(packet);
        if (icmp.size() >= 4) {
            write_be16(icmp, 2, 0);
            write_be16(icmp, 2, internet_checksum(icmp));
        }
    }
    (void)is_icmp_echo_reply(packet, target, client, 0x0102, 3);
    return 0;
}
