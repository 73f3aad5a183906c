#include "config/config_error.hpp"

#include <type_traits>

namespace quorlin {

std::string ConfigError::to_text() const {
    return std::visit(
        [](const auto& e) -> std::string {
            using E = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<E, InvalidLine>) {
                return "line " + std::to_string(e.line_number) + " is not a section or key-value pair";
            } else if constexpr (std::is_same_v<E, InvalidKey>) {
                return std::string(e.key_name) + " must be a base64-encoded 32-byte key";
            } else if constexpr (std::is_same_v<E, Missing>) {
                return "missing " + std::string(e.key_name);
            } else if constexpr (std::is_same_v<E, MultiplePeers>) {
                return "the probe accepts exactly one [Peer] section";
            } else {
                static_assert(std::is_same_v<E, InvalidCidr>);
                return std::string(e.field_name) + " contains invalid " + std::string(e.family) + " CIDR " + e.entry;
            }
        },
        value);
}

}  // namespace quorlin
