#pragma once
// The configuration module's error value. It is turned into text only at the
// module boundary; `to_text()` gives the exact display text.

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace quorlin {

struct ConfigError {
    // "line {} is not a section or key-value pair"
    struct InvalidLine {
        std::uint64_t line_number;  // 1-based
    };
    // "{} must be a base64-encoded 32-byte key"; key_name is one of
    // "PrivateKey", "PublicKey", "PresharedKey".
    struct InvalidKey {
        std::string_view key_name;  // static text
    };
    // "missing {}"; key_name is one of "Interface.PrivateKey",
    // "Peer.PublicKey", "Peer.Endpoint".
    struct Missing {
        std::string_view key_name;  // static text
    };
    // "the probe accepts exactly one [Peer] section"
    struct MultiplePeers {};
    // "{} contains invalid {} CIDR {}"; field_name is "Interface.Address" or
    // "Peer.AllowedIPs", family "IPv4" or "IPv6" (an entry with a ':'),
    // entry the offending (trimmed) list entry.
    struct InvalidCidr {
        std::string_view field_name;  // static text
        std::string entry;
        std::string_view family = "IPv4";  // static text
    };

    std::variant<InvalidLine, InvalidKey, Missing, MultiplePeers, InvalidCidr> value;

    std::string to_text() const;
};

}  // namespace quorlin
