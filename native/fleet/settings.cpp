#include "fleet/settings.hpp"

namespace quorlin::fleet {

const std::array<SettingSpec, setting_key_count> setting_specs = {{
    {"name", SettingKey::name, SettingKind::text, false},
    {"config", SettingKey::config, SettingKind::text, false},
    {"private_key_file", SettingKey::private_key_file, SettingKind::text, false},
    {"peer_key", SettingKey::peer_key, SettingKind::text, false},
    {"endpoint", SettingKey::endpoint, SettingKind::text, true},
    {"address", SettingKey::address, SettingKind::text, true},
    {"allowed_ips", SettingKey::allowed_ips, SettingKind::text_list, true},
    {"ping", SettingKey::ping, SettingKind::text_list, true},
    {"resolve", SettingKey::resolve, SettingKind::text_list, true},
    {"dns_server", SettingKey::dns_server, SettingKind::text, true},
    {"handshake_timeout_ms", SettingKey::handshake_timeout_ms, SettingKind::integer, true},
    {"ping_timeout_ms", SettingKey::ping_timeout_ms, SettingKind::integer, true},
    {"dns_timeout_ms", SettingKey::dns_timeout_ms, SettingKind::integer, true},
    {"deadline_ms", SettingKey::deadline_ms, SettingKind::integer, true},
    {"labels", SettingKey::labels, SettingKind::labels, true},
}};

const SettingSpec& spec_of(SettingKey key) noexcept { return setting_specs[static_cast<std::size_t>(key)]; }

}  // namespace quorlin::fleet
