#pragma once
// The settings of one table of a fleet file as written, [defaults] or one
// [[target]], each value with the place it was written, so that a refusal
// found later can still point at it.

#include "fleet/fleet_refusal.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quorlin::fleet {

// Every key a target may hold.
enum class SettingKey : std::uint8_t {
    name,
    config,
    private_key_file,
    peer_key,
    endpoint,
    address,
    allowed_ips,
    ping,
    resolve,
    dns_server,
    handshake_timeout_ms,
    ping_timeout_ms,
    dns_timeout_ms,
    deadline_ms,
    labels,
};
inline constexpr std::size_t setting_key_count = 15;

// What a key's value must be.
enum class SettingKind : std::uint8_t { text, text_list, integer, labels };

struct SettingSpec {
    std::string_view key_text;
    SettingKey key;
    SettingKind kind;
    bool may_default;  // [defaults] may hold it: all but the name and the key material
};

extern const std::array<SettingSpec, setting_key_count> setting_specs;

const SettingSpec& spec_of(SettingKey key) noexcept;

struct LocatedText {
    std::string text;
    SourcePosition at;
};

struct Label {
    std::string name;
    std::string value;

    friend bool operator==(const Label&, const Label&) = default;
};

struct SettingValue {
    SourcePosition at;
    std::variant<std::string, std::vector<LocatedText>, std::int64_t, std::vector<Label>> value;
};

struct TableSettings {
    SourcePosition at;  // where the table starts: its header
    std::array<std::optional<SettingValue>, setting_key_count> values;

    const SettingValue* find(SettingKey key) const noexcept {
        const auto& value = values[static_cast<std::size_t>(key)];
        return value ? &*value : nullptr;
    }
};

// The file as written: the defaults (no values when the file has none) and
// the targets in file order.
struct FleetDocument {
    TableSettings defaults;
    std::vector<TableSettings> targets;
};

// A target's own settings over the defaults: a value of its own replaces the
// default whole (lists are not merged).
struct EffectiveSettings {
    const TableSettings& own;
    const TableSettings& defaults;

    const SettingValue* find(SettingKey key) const noexcept {
        if (const SettingValue* value = own.find(key)) return value;
        return spec_of(key).may_default ? defaults.find(key) : nullptr;
    }
};

}  // namespace quorlin::fleet
