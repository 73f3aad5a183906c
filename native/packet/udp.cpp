#include "packet/udp.hpp"

#include "common/bytes.hpp"
#include "packet/checksum.hpp"

#include <algorithm>
#include <array>

namespace quorlin {

std::uint16_t udp_checksum(const Ipv4Octets& source, const Ipv4Octets& destination,
                           std::span<const std::uint8_t> segment) noexcept {
    std::array<std::uint8_t, 12> pseudo_header{};
    std::copy(source.begin(), source.end(), pseudo_header.begin());
    std::copy(destination.begin(), destination.end(), pseudo_header.begin() + 4);
    pseudo_header[9] = ip_protocol_udp;
    write_be16(pseudo_header, 10, static_cast<std::uint16_t>(segment.size() & 0xFFFF));

    InternetChecksum checksum;
    checksum.add(pseudo_header);
    checksum.add(segment);
    return checksum.finish();
}

}  // namespace quorlin
