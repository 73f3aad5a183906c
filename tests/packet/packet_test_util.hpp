#pragma once
// Byte-level helpers for building the packets a peer might send back.

#include "common/bytes.hpp"
#include "packet/checksum.hpp"
#include "packet/ipv4.hpp"
#include "packet/ipv6.hpp"

#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

namespace quorlin::test {

using Bytes = std::vector<std::uint8_t>;

inline void append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

inline Bytes text_bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

// An encoded name from its labels, ending with the root.
inline Bytes wire_name(std::initializer_list<std::string_view> labels) {
    Bytes out;
    for (const auto label : labels) {
        out.push_back(static_cast<std::uint8_t>(label.size()));
        out.insert(out.end(), label.begin(), label.end());
    }
    out.push_back(0);
    return out;
}

// An IPv4 header with any options, flags and protocol, and a correct header
// checksum unless told otherwise, followed by `payload`.
struct Ipv4Shape {
    Ipv4Octets source{10, 0, 0, 1};
    Ipv4Octets destination{10, 0, 0, 2};
    std::uint8_t protocol = 1;
    std::uint16_t flags_fragment = 0x4000;
    Bytes options{};
    int total_length_delta = 0;  // added to the true total length
    bool corrupt_checksum = false;
    std::uint8_t version = 4;
};

inline Bytes ipv4_with(const Ipv4Shape& shape, const Bytes& payload) {
    Bytes out;
    const std::size_t header = 20 + shape.options.size();
    out.push_back(static_cast<std::uint8_t>((shape.version << 4) | (header / 4)));
    out.push_back(0);
    append_be16(out, static_cast<std::uint16_t>(static_cast<int>(header + payload.size()) + shape.total_length_delta));
    append_be16(out, 0x1234);
    append_be16(out, shape.flags_fragment);
    out.push_back(55);
    out.push_back(shape.protocol);
    append_be16(out, 0);
    out.insert(out.end(), shape.source.begin(), shape.source.end());
    out.insert(out.end(), shape.destination.begin(), shape.destination.end());
    append(out, shape.options);
    std::uint16_t checksum = internet_checksum(out);
    if (shape.corrupt_checksum) checksum ^= 0x0101;
    write_be16(out, 10, checksum);
    append(out, payload);
    return out;
}

// An IPv6 header with any next header and version, followed by `payload`.
struct Ipv6Shape {
    Ipv6Octets source{0xfd, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    Ipv6Octets destination{0xfd, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
    std::uint8_t next_header = 58;
    int payload_length_delta = 0;  // added to the true payload length
    std::uint8_t version = 6;
};

inline Bytes ipv6_with(const Ipv6Shape& shape, const Bytes& payload) {
    Bytes out{static_cast<std::uint8_t>(shape.version << 4), 0, 0, 0};
    append_be16(out, static_cast<std::uint16_t>(static_cast<int>(payload.size()) + shape.payload_length_delta));
    out.push_back(shape.next_header);
    out.push_back(64);
    out.insert(out.end(), shape.source.begin(), shape.source.end());
    out.insert(out.end(), shape.destination.begin(), shape.destination.end());
    append(out, payload);
    return out;
}

}  // namespace quorlin::test
