#pragma once
// The services behind the peer that the TCP, TLS and HTTP checks reach
// through the tunnel: a port at an address inside AllowedIPs, or at a name
// the tunnel's own DNS server resolves, as a client of the VPN would.

#include "config/ip_address.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quorlin {

// A TCP check's target: an address inside the tunnel and a port.
struct TcpTarget {
    Ipv4Address address;
    std::uint16_t port = 0;

    // "10.0.0.1:443"
    std::string to_text() const { return address.to_text() + ":" + std::to_string(port); }
    friend bool operator==(const TcpTarget&, const TcpTarget&) = default;
};

// A host as the caller wrote it: an IPv4 address, or a DNS name.
struct ServiceHost {
    std::string text;
    std::optional<Ipv4Address> address;  // when `text` is an address

    friend bool operator==(const ServiceHost&, const ServiceHost&) = default;
};

// A TLS check's target.
struct TlsTarget {
    ServiceHost host;
    std::uint16_t port = 0;

    // "git.internal:443"
    std::string to_text() const { return host.text + ":" + std::to_string(port); }
    friend bool operator==(const TlsTarget&, const TlsTarget&) = default;
};

// An HTTP check's target, from an http:// or https:// URL.
struct HttpTarget {
    std::string url;  // as given
    bool https = false;
    ServiceHost host;
    std::uint16_t port = 0;
    std::string path;  // from the first '/', query included; "/" when none

    // The Host header: the host, with the port when it is not the scheme's own.
    std::string host_header() const {
        const std::uint16_t usual = https ? 443 : 80;
        return port == usual ? host.text : host.text + ":" + std::to_string(port);
    }
    friend bool operator==(const HttpTarget&, const HttpTarget&) = default;
};

// The HTTP statuses a check accepts, as inclusive ranges.
using HttpStatusRanges = std::vector<std::pair<std::uint16_t, std::uint16_t>>;
inline const HttpStatusRanges default_http_statuses{{200, 399}};

}  // namespace quorlin
