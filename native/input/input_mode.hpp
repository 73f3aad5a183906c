#pragma once
// The two ways to name a probe's inputs, as the command line and a fleet file
// both take them: a configuration file, or the raw-key fields (private key
// file, peer key and endpoint required; the addresses and allowed IPs optional),
// never both. Each caller spells the names its own way.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorlin::input {

// The raw-key fields, in the order a refusal names them.
enum class RawKeyField : std::uint8_t { private_key_file, peer_key, endpoint, address, allowed_ips, address6 };
inline constexpr std::size_t raw_key_field_count = 6;

struct InputModeNames {
    std::string_view config;  // "a configuration file", "config"
    std::array<std::string_view, raw_key_field_count> fields;
};

struct InputModeRefusal {
    std::optional<RawKeyField> conflicting;  // the field given beside a configuration file
    std::string message;
};

// With a configuration file, the first raw-key field given beside it is
// refused ("F cannot be combined with CONFIG"); without one, the required
// fields missing are ("give CONFIG, or F1, F2").
std::optional<InputModeRefusal> input_mode_refusal(bool config_given,
                                                   const std::array<bool, raw_key_field_count>& given,
                                                   const InputModeNames& names);

}  // namespace quorlin::input
