// The WireGuard configuration text parser: one forward pass over the lines,
// keeping only the seven keys a probe needs and ignoring everything else.

#include "config/probe_config.hpp"
#include "config/unicode_whitespace.hpp"

#include <algorithm>
#include <utility>
#include <variant>

namespace quorlin {
namespace {

enum class Section { None, Interface, Peer, Other };

// Calls `each` with every trimmed, non-empty entry of a comma-separated list,
// stopping at the first error it returns.
template <typename Each>
std::optional<ConfigError> for_each_entry(std::string_view list, Each each) {
    while (true) {
        const std::size_t comma = list.find(',');
        const std::string_view entry = trim_unicode_whitespace(list.substr(0, comma));
        if (!entry.empty()) {
            if (auto error = each(entry)) return error;
        }
        if (comma == std::string_view::npos) return std::nullopt;
        list.remove_prefix(comma + 1);
    }
}

// The working state of one parse. Whatever it still holds when it goes out of
// scope (after an error, say) is released, and its secrets are wiped.
class ConfigParser {
public:
    std::expected<ProbeConfig, ConfigError> run(std::string_view text) {
        std::size_t pos = 0;
        while (pos < text.size()) {
            std::string_view line;
            const std::size_t lf = text.find('\n', pos);
            if (lf == std::string_view::npos) {
                line = text.substr(pos);
                pos = text.size();
            } else {
                line = text.substr(pos, lf - pos);
                pos = lf + 1;
                if (line.ends_with('\r')) line.remove_suffix(1);
            }
            ++line_number_;
            if (auto error = parse_line(line)) return std::unexpected(std::move(*error));
        }
        return finish();
    }

private:
    std::optional<ConfigError> parse_line(std::string_view line) {
        line = trim_unicode_whitespace(line.substr(0, line.find('#')));
        if (line.empty()) return std::nullopt;
        if (line.starts_with('[') && line.ends_with(']')) {
            open_section(line.substr(1, line.size() - 2));
            return std::nullopt;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) return ConfigError{ConfigError::InvalidLine{line_number_}};
        const std::string_view key = trim_unicode_whitespace(line.substr(0, equals));
        const std::string_view value = trim_unicode_whitespace(line.substr(equals + 1));
        switch (section_) {
            case Section::Interface: return interface_pair(key, value);
            case Section::Peer: return peer_pair(key, value);
            case Section::None:
            case Section::Other: return std::nullopt;
        }
        return std::nullopt;
    }

    void open_section(std::string_view name) {
        if (name == "Interface") {
            section_ = Section::Interface;
        } else if (name == "Peer") {
            section_ = Section::Peer;
            ++peer_headers_;
        } else {
            section_ = Section::Other;
        }
    }

    std::optional<ConfigError> interface_pair(std::string_view key, std::string_view value) {
        if (key == "PrivateKey") {
            if (!decode(value)) return ConfigError{ConfigError::InvalidKey{"PrivateKey"}};
            private_key_.reset();  // the replaced key is wiped here
            private_key_.emplace(scratch_.view());
            scratch_.clear();
        } else if (key == "Address") {
            return for_each_entry(value, [this](std::string_view entry) -> std::optional<ConfigError> {
                auto cidr = parse_entry("Interface.Address", entry);
                if (!cidr) return std::move(cidr.error());
                // Only the first prefix of each family in the whole file is
                // kept; later ones are still checked.
                if (const auto* v4 = std::get_if<Ipv4Cidr>(&*cidr); v4 && !address_) address_ = *v4;
                if (const auto* v6 = std::get_if<Ipv6Cidr>(&*cidr)) {
                    // The tunnel's own address: an IPv4 one belongs in its own form.
                    if (is_ipv4_mapped(v6->address)) {
                        return ConfigError{ConfigError::InvalidCidr{"Interface.Address", std::string(entry), "IPv6"}};
                    }
                    if (!address6_) address6_ = *v6;
                }
                return std::nullopt;
            });
        } else if (key == "MTU") {
            mtu_.emplace(value);
        } else if (key == "DNS") {
            return for_each_entry(value, [this](std::string_view entry) -> std::optional<ConfigError> {
                // Anything that is not an address (a search domain, say) is skipped.
                if (auto address = parse_ip_address(entry)) dns_servers_.push_back(*address);
                return std::nullopt;
            });
        }
        return std::nullopt;
    }

    std::optional<ConfigError> peer_pair(std::string_view key, std::string_view value) {
        if (key == "PublicKey") {
            if (!decode(value)) return ConfigError{ConfigError::InvalidKey{"PublicKey"}};
            PublicKey key_bytes;
            std::ranges::copy(scratch_.view(), key_bytes.begin());
            peer_public_key_ = key_bytes;
            scratch_.clear();
        } else if (key == "PresharedKey") {
            if (!decode(value)) return ConfigError{ConfigError::InvalidKey{"PresharedKey"}};
            preshared_key_.reset();  // the replaced key is wiped here
            preshared_key_.emplace(scratch_.view());
            scratch_.clear();
        } else if (key == "Endpoint") {
            endpoint_.emplace(value);
        } else if (key == "AllowedIPs") {
            return for_each_entry(value, [this](std::string_view entry) -> std::optional<ConfigError> {
                auto cidr = parse_entry("Peer.AllowedIPs", entry);
                if (!cidr) return std::move(cidr.error());
                if (const auto* v4 = std::get_if<Ipv4Cidr>(&*cidr)) allowed_ips_.push_back(*v4);
                if (const auto* v6 = std::get_if<Ipv6Cidr>(&*cidr)) allowed_ips6_.push_back(*v6);
                return std::nullopt;
            });
        }
        return std::nullopt;
    }

    // Decodes a key into the scratch buffer, which is zeroed when it fails.
    bool decode(std::string_view value) noexcept { return decode_base64_key(value, scratch_.span()); }

    // A prefix entry: IPv6 when it holds a ':', IPv4 otherwise.
    static std::expected<std::variant<Ipv4Cidr, Ipv6Cidr>, ConfigError> parse_entry(std::string_view field,
                                                                                      std::string_view entry) {
        if (entry.find(':') != std::string_view::npos) {
            if (auto cidr = Ipv6Cidr::from_str(entry)) return *cidr;
            return std::unexpected(ConfigError{ConfigError::InvalidCidr{field, std::string(entry), "IPv6"}});
        }
        if (auto cidr = Ipv4Cidr::from_str(entry)) return *cidr;
        return std::unexpected(ConfigError{ConfigError::InvalidCidr{field, std::string(entry)}});
    }

    std::expected<ProbeConfig, ConfigError> finish() {
        if (peer_headers_ > 1) return std::unexpected(ConfigError{ConfigError::MultiplePeers{}});
        if (!private_key_) return std::unexpected(ConfigError{ConfigError::Missing{"Interface.PrivateKey"}});
        if (!peer_public_key_) return std::unexpected(ConfigError{ConfigError::Missing{"Peer.PublicKey"}});
        if (!endpoint_) return std::unexpected(ConfigError{ConfigError::Missing{"Peer.Endpoint"}});

        ProbeConfig config(std::move(*private_key_), *peer_public_key_, std::move(*endpoint_));
        config.address = address_;
        config.dns_servers = std::move(dns_servers_);
        config.allowed_ips = std::move(allowed_ips_);
        config.address6 = address6_;
        config.allowed_ips6 = std::move(allowed_ips6_);
        config.mtu = std::move(mtu_);
        if (preshared_key_) {
            config.preshared_key.emplace(preshared_key_->view());
            preshared_key_.reset();  // our working copy is wiped once the record holds it
        }
        return config;
    }

    Section section_ = Section::None;
    std::uint64_t peer_headers_ = 0;
    std::uint64_t line_number_ = 0;
    std::optional<X25519StaticSecret> private_key_;
    std::optional<PublicKey> peer_public_key_;
    std::optional<PresharedKey> preshared_key_;
    std::optional<std::string> endpoint_;
    std::optional<std::string> mtu_;
    std::optional<Ipv4Cidr> address_;
    std::vector<Ipv4Cidr> allowed_ips_;
    std::optional<Ipv6Cidr> address6_;
    std::vector<Ipv6Cidr> allowed_ips6_;
    std::vector<IpAddress> dns_servers_;
    SecretArray<key_size_bytes> scratch_;
};

}  // namespace

std::expected<ProbeConfig, ConfigError> ProbeConfig::parse(std::string_view text) {
    return ConfigParser().run(text);
}

}  // namespace quorlin
