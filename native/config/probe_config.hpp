#pragma once
// The configuration of one probe: the interface and the single peer to probe.
// One owner at a time: moved, never copied. Destruction zeroes the preshared
// key (if any), then the private key, then releases the rest; a moved-from
// record has its secrets zeroed at once.

#include "config/config_error.hpp"
#include "config/ip_address.hpp"
#include "config/ipv4_cidr.hpp"
#include "config/ipv6_cidr.hpp"
#include "config/keys.hpp"

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorlin {

struct ProbeConfig {
    X25519StaticSecret private_key;
    std::optional<Ipv4Cidr> address;
    std::vector<IpAddress> dns_servers;
    PublicKey peer_public_key;
    std::optional<PresharedKey> preshared_key;
    std::string endpoint;
    std::vector<Ipv4Cidr> allowed_ips;
    // The IPv6 side of a dual-stack configuration: the first IPv6 Address
    // entry and the IPv6 AllowedIPs.
    std::optional<Ipv6Cidr> address6;
    std::vector<Ipv6Cidr> allowed_ips6;
    // [Interface] MTU as written (the last one wins); read only by the MTU check.
    std::optional<std::string> mtu;

    // A record with the two keys and the endpoint, and nothing else.
    ProbeConfig(X25519StaticSecret private_key, const PublicKey& peer_public_key, std::string endpoint) noexcept;
    ProbeConfig(ProbeConfig&& other) noexcept;
    ProbeConfig& operator=(ProbeConfig&& other) noexcept;
    ProbeConfig(const ProbeConfig&) = delete;
    ProbeConfig& operator=(const ProbeConfig&) = delete;
    ~ProbeConfig();

    // Parses the text of a WireGuard configuration file (see config_parser.cpp).
    static std::expected<ProbeConfig, ConfigError> parse(std::string_view text);

    // Key-file mode: both key texts are trimmed of Unicode whitespace and
    // decoded; the endpoint is kept unchanged. The private key's error wins
    // when both keys are bad.
    static std::expected<ProbeConfig, ConfigError> from_parts(std::string_view private_key_text,
                                                              std::string_view peer_key_text,
                                                              std::string endpoint);

    // Sets the address and replaces both lists.
    void set_data_config(Ipv4Cidr address, std::vector<IpAddress> dns_servers, std::vector<Ipv4Cidr> allowed_ips);

    // The public key of `private_key`, as 44 characters of padded standard Base64.
    std::string client_public_key() const;

private:
    void wipe_secrets() noexcept;
};

}  // namespace quorlin
