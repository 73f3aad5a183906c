#include "config/probe_config.hpp"

#include "config/unicode_whitespace.hpp"

#include <algorithm>
#include <utility>

namespace quorlin {

ProbeConfig::ProbeConfig(X25519StaticSecret private_key, const PublicKey& peer_public_key,
                         std::string endpoint) noexcept
    : private_key(std::move(private_key)), peer_public_key(peer_public_key), endpoint(std::move(endpoint)) {}

ProbeConfig::ProbeConfig(ProbeConfig&& other) noexcept
    : private_key(std::move(other.private_key)),
      address(other.address),
      dns_servers(std::move(other.dns_servers)),
      peer_public_key(other.peer_public_key),
      preshared_key(std::move(other.preshared_key)),
      endpoint(std::move(other.endpoint)),
      allowed_ips(std::move(other.allowed_ips)),
      address6(other.address6),
      allowed_ips6(std::move(other.allowed_ips6)),
      mtu(std::move(other.mtu)) {
    // Moving copies the secret bytes; the source must not keep them.
    other.preshared_key.reset();
}

ProbeConfig& ProbeConfig::operator=(ProbeConfig&& other) noexcept {
    if (this != &other) {
        wipe_secrets();
        private_key = std::move(other.private_key);
        address = other.address;
        dns_servers = std::move(other.dns_servers);
        peer_public_key = other.peer_public_key;
        preshared_key = std::move(other.preshared_key);
        other.preshared_key.reset();
        endpoint = std::move(other.endpoint);
        allowed_ips = std::move(other.allowed_ips);
        address6 = other.address6;
        allowed_ips6 = std::move(other.allowed_ips6);
        mtu = std::move(other.mtu);
    }
    return *this;
}

ProbeConfig::~ProbeConfig() { wipe_secrets(); }

void ProbeConfig::wipe_secrets() noexcept {
    // Preshared key first, then the private key; the members' own destructors
    // then release the texts and lists.
    if (preshared_key) preshared_key->clear();
    private_key.wipe();
}

std::expected<ProbeConfig, ConfigError> ProbeConfig::from_parts(std::string_view private_key_text,
                                                                std::string_view peer_key_text,
                                                                std::string endpoint) {
    auto private_key = parse_private_key(trim_unicode_whitespace(private_key_text));
    if (!private_key) return std::unexpected(std::move(private_key.error()));
    const auto peer_key = parse_key("PublicKey", trim_unicode_whitespace(peer_key_text));
    if (!peer_key) return std::unexpected(peer_key.error());  // the private key wipes itself
    PublicKey peer_public_key;
    std::ranges::copy(peer_key->view(), peer_public_key.begin());
    return ProbeConfig(std::move(*private_key), peer_public_key, std::move(endpoint));
}

void ProbeConfig::set_data_config(Ipv4Cidr new_address, std::vector<IpAddress> new_dns_servers,
                                  std::vector<Ipv4Cidr> new_allowed_ips) {
    address = new_address;
    dns_servers = std::move(new_dns_servers);
    allowed_ips = std::move(new_allowed_ips);
}

std::string ProbeConfig::client_public_key() const { return encode_base64_key(private_key.public_key()); }

}  // namespace quorlin
