// Feeds arbitrary bytes to the TCP segment parser. With an odd first byte the
// IPv4 header and TCP checksums are recomputed first, so the fuzzer reaches
// the data offset and the option list behind them; a parsed segment's payload
// must lie within the packet.

#include "ipv4_repair.hpp"
#include "packet/tcp.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

using namespace quorlin;

const Ipv4Octets server{10, 0, 0, 1};
const Ipv4Octets client{10, 0, 0, 2};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::vector<std::uint8_t> packet(data + 1, data + size);
    if (data[0] & 1) {
        const auto segment = fuzz::repair_ipv4_header(packet);
        if (segment.size() >= tcp_header_bytes) {
            write_be16(segment, 16, 0);
            write_be16(segment, 16, pseudo_header_checksum(server, client, ip_protocol_tcp, segment));
        }
    }
    if (const auto parsed = read_tcp(packet, server, client)) {
        const auto* begin = packet.data();
        const auto* end = begin + packet.size();
        if (parsed->payload.data() < begin || parsed->payload.data() + parsed->payload.size() > end) std::abort();
    }
    return 0;
}
