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
    address6,
    ping,
    resolve,
    dns_server,
    tcp,
    tls,
    tls_server_name,
    ca_file,
    http,
    http_status,
    http_expect,
    handshake_timeout_ms,
    ping_timeout_ms,
    dns_timeout_ms,
    tcp_timeout_ms,
    deadline_ms,
    labels,
    ping_count,
    ping_interval_ms,
    mtu_check,
    mtu,
    ping_warning,
    ping_critical,
    tls_days_warning,
    tls_days_critical,
};
inline constexpr std::size_t setting_key_count = 32;

// What a key's value must be.
enum class SettingKind : std::uint8_t { text, text_list, integer, boolean, labels };

struct SettingSpec {
    std::string_view key_text;
    SettingKey key;
    SettingKind kind;
    bool may_default;  // [defaults] may hold it: all but the name and the key material
};

// In the order of SettingKey.
inline constexpr std::array<SettingSpec, setting_key_count> setting_specs = {{
    {"name", SettingKey::name, SettingKind::text, false},
    {"config", SettingKey::config, SettingKind::text, false},
    {"private_key_file", SettingKey::private_key_file, SettingKind::text, false},
    {"peer_key", SettingKey::peer_key, SettingKind::text, false},
    {"endpoint", SettingKey::endpoint, SettingKind::text, true},
    {"address", SettingKey::address, SettingKind::text, true},
    {"allowed_ips", SettingKey::allowed_ips, SettingKind::text_list, true},
    {"address6", SettingKey::address6, SettingKind::text, true},
    {"ping", SettingKey::ping, SettingKind::text_list, true},
    {"resolve", SettingKey::resolve, SettingKind::text_list, true},
    {"dns_server", SettingKey::dns_server, SettingKind::text, true},
    {"tcp", SettingKey::tcp, SettingKind::text_list, true},
    {"tls", SettingKey::tls, SettingKind::text_list, true},
    {"tls_server_name", SettingKey::tls_server_name, SettingKind::text, true},
    {"ca_file", SettingKey::ca_file, SettingKind::text, true},
    {"http", SettingKey::http, SettingKind::text_list, true},
    {"http_status", SettingKey::http_status, SettingKind::text, true},
    {"http_expect", SettingKey::http_expect, SettingKind::text, true},
    {"handshake_timeout_ms", SettingKey::handshake_timeout_ms, SettingKind::integer, true},
    {"ping_timeout_ms", SettingKey::ping_timeout_ms, SettingKind::integer, true},
    {"dns_timeout_ms", SettingKey::dns_timeout_ms, SettingKind::integer, true},
    {"tcp_timeout_ms", SettingKey::tcp_timeout_ms, SettingKind::integer, true},
    {"deadline_ms", SettingKey::deadline_ms, SettingKind::integer, true},
    {"labels", SettingKey::labels, SettingKind::labels, true},
    {"ping_count", SettingKey::ping_count, SettingKind::integer, true},
    {"ping_interval_ms", SettingKey::ping_interval_ms, SettingKind::integer, true},
    {"mtu_check", SettingKey::mtu_check, SettingKind::boolean, true},
    {"mtu", SettingKey::mtu, SettingKind::integer, true},
    {"ping_warning", SettingKey::ping_warning, SettingKind::text, true},
    {"ping_critical", SettingKey::ping_critical, SettingKind::text, true},
    {"tls_days_warning", SettingKey::tls_days_warning, SettingKind::integer, true},
    {"tls_days_critical", SettingKey::tls_days_critical, SettingKind::integer, true},
}};

constexpr const SettingSpec& spec_of(SettingKey key) noexcept { return setting_specs[static_cast<std::size_t>(key)]; }

// What is known of the key written `key`, or nullptr for a key a target cannot hold.
constexpr const SettingSpec* spec_named(std::string_view key) noexcept {
    for (const SettingSpec& spec : setting_specs) {
        if (spec.key_text == key) return &spec;
    }
    return nullptr;
}

// Whether a target may hold the key written `key` (a bool, so that it can be
// asked at compile time even where the sanitizers make pointer tests run-time).
constexpr bool is_setting_key(std::string_view key) noexcept {
    for (const SettingSpec& spec : setting_specs) {
        if (spec.key_text == key) return true;
    }
    return false;
}

static_assert([] {
    for (std::size_t i = 0; i < setting_key_count; ++i) {
        if (static_cast<std::size_t>(setting_specs[i].key) != i) return false;
    }
    return true;
}());

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
    std::variant<std::string, std::vector<LocatedText>, std::int64_t, std::vector<Label>, bool> value;

    // The value of a text or text-list key (its kind checked when it was read).
    const std::string& text() const { return std::get<std::string>(value); }
    const std::vector<LocatedText>& items() const { return std::get<std::vector<LocatedText>>(value); }
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
