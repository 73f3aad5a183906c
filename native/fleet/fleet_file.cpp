#include "fleet/fleet_file.hpp"

#include "fleet/fleet_toml.hpp"
#include "fleet/followed_path.hpp"
#include "fleet/names.hpp"
#include "fleet/refused_value.hpp"
#include "fleet/target_probe.hpp"
#include "input/careful_file.hpp"
#include "input/input_mode.hpp"
#include "input/ping_limit.hpp"
#include "probe/key_turn.hpp"

#include <algorithm>
#include <array>
#include <map>
#include <unordered_map>
#include <utility>

namespace quorlin::fleet {

namespace {

// The raw-key fields, in the order of input::RawKeyField, and how a fleet file names them.
constexpr std::array<SettingKey, input::raw_key_field_count> raw_key_settings = {
    SettingKey::private_key_file, SettingKey::peer_key, SettingKey::endpoint, SettingKey::address,
    SettingKey::allowed_ips, SettingKey::address6};
constexpr input::InputModeNames input_mode_names{
    "config",
    {spec_of(SettingKey::private_key_file).key_text, spec_of(SettingKey::peer_key).key_text,
     spec_of(SettingKey::endpoint).key_text, spec_of(SettingKey::address).key_text,
     spec_of(SettingKey::allowed_ips).key_text, spec_of(SettingKey::address6).key_text}};

std::vector<std::string> texts_of(const SettingValue& setting) {
    std::vector<std::string> texts;
    for (const LocatedText& item : setting.items()) texts.push_back(item.text);
    return texts;
}

std::string joined(std::string_view base_folder, const std::string& path) {
    if (base_folder.empty() || path.starts_with('/')) return path;
    std::string out(base_folder);
    if (!out.ends_with('/')) out.push_back('/');
    return out + path;
}

// A time limit's key in a fleet file is its own name.
static_assert(std::ranges::all_of(input::time_limit_names,
                                  [](const input::TimeLimitName& limit) { return is_setting_key(limit.key); }));
SettingKey limit_key(const input::TimeLimitName& limit) { return spec_named(limit.key)->key; }

input::OptionTexts option_texts(const EffectiveSettings& settings) {
    input::OptionTexts options;
    if (const SettingValue* ping = settings.find(SettingKey::ping)) options.ping = texts_of(*ping);
    if (const SettingValue* resolve = settings.find(SettingKey::resolve)) options.resolve = texts_of(*resolve);
    if (const SettingValue* server = settings.find(SettingKey::dns_server)) options.dns_server = server->text();
    if (const SettingValue* tcp = settings.find(SettingKey::tcp)) options.tcp = texts_of(*tcp);
    if (const SettingValue* tls = settings.find(SettingKey::tls)) options.tls = texts_of(*tls);
    if (const SettingValue* http = settings.find(SettingKey::http)) options.http = texts_of(*http);
    for (auto [key, field] : {std::pair{SettingKey::tls_server_name, &input::OptionTexts::tls_server_name},
                              std::pair{SettingKey::ca_file, &input::OptionTexts::ca_file},
                              std::pair{SettingKey::http_status, &input::OptionTexts::http_status},
                              std::pair{SettingKey::http_expect, &input::OptionTexts::http_expect}}) {
        if (const SettingValue* value = settings.find(key)) options.*field = value->text();
    }
    for (const input::TimeLimitName& limit : input::time_limit_names) {
        if (const SettingValue* value = settings.find(limit_key(limit))) {
            options.*limit.text = std::get<std::int64_t>(value->value);
        }
    }
    if (const SettingValue* count = settings.find(SettingKey::ping_count)) {
        options.ping_count = std::get<std::int64_t>(count->value);
    }
    if (const SettingValue* interval = settings.find(SettingKey::ping_interval_ms)) {
        options.ping_interval_ms = std::get<std::int64_t>(interval->value);
    }
    if (const SettingValue* check = settings.find(SettingKey::mtu_check)) options.mtu_check = std::get<bool>(check->value);
    if (const SettingValue* mtu = settings.find(SettingKey::mtu)) options.mtu = std::get<std::int64_t>(mtu->value);
    return options;
}

// The ping thresholds, or the refusal of the first that does not read.
std::expected<PingThresholds, FleetRefusal> ping_thresholds(const EffectiveSettings& settings,
                                                            const std::string& target_name) {
    PingThresholds thresholds;
    for (auto [key, level] : {std::pair{SettingKey::ping_warning, &thresholds.warning},
                              std::pair{SettingKey::ping_critical, &thresholds.critical}}) {
        const SettingValue* value = settings.find(key);
        if (value == nullptr) continue;
        auto limit = input::parse_ping_limit(value->text(), spec_of(key).key_text);
        if (!limit) return std::unexpected(FleetRefusal{value->at, target_prefix(target_name), std::move(limit.error())});
        *level = *limit;
    }
    if (thresholds.warning_above_critical()) {
        const SettingValue* warning = settings.find(SettingKey::ping_warning);
        return std::unexpected(FleetRefusal{warning->at, target_prefix(target_name),
                                            "ping_warning " + warning->text() + " is above ping_critical " +
                                                settings.find(SettingKey::ping_critical)->text()});
    }
    return thresholds;
}

// The certificate thresholds: whole days from 0 through 36500, the warning
// not below the critical one.
std::expected<CertificateThresholds, FleetRefusal> certificate_thresholds(const EffectiveSettings& settings,
                                                                          const std::string& target_name) {
    constexpr std::int64_t max_days = 36'500;
    CertificateThresholds thresholds;
    for (auto [key, level] : {std::pair{SettingKey::tls_days_warning, &thresholds.warning_days},
                              std::pair{SettingKey::tls_days_critical, &thresholds.critical_days}}) {
        const SettingValue* value = settings.find(key);
        if (value == nullptr) continue;
        const std::int64_t days = std::get<std::int64_t>(value->value);
        if (days < 0 || days > max_days) {
            return std::unexpected(FleetRefusal{value->at, target_prefix(target_name),
                                                std::string(spec_of(key).key_text) +
                                                    " must be an integer from 0 through 36500"});
        }
        *level = days;
    }
    if (thresholds.warning_days && thresholds.critical_days && *thresholds.warning_days < *thresholds.critical_days) {
        return std::unexpected(FleetRefusal{settings.find(SettingKey::tls_days_warning)->at, target_prefix(target_name),
                                            "tls_days_warning " + std::to_string(*thresholds.warning_days) +
                                                " is below tls_days_critical " +
                                                std::to_string(*thresholds.critical_days)});
    }
    return thresholds;
}

// Builds the targets from the document, checking names and modes; their
// inputs are checked afterwards, by planning each one.
class TargetBuilder {
public:
    TargetBuilder(const FleetDocument& document, std::string_view base_folder)
        : document_(document), base_folder_(base_folder) {}

    std::expected<FleetTarget, FleetRefusal> build(std::size_t index) {
        const EffectiveSettings settings{document_.targets[index], document_.defaults};
        FleetTarget target;
        auto name = checked_name(settings.own, index);
        if (!name) return std::unexpected(std::move(name.error()));
        target.name = std::move(*name);
        auto mode = checked_mode(settings, target.name);
        if (!mode) return std::unexpected(std::move(mode.error()));
        target.mode = std::move(*mode);
        if (auto refusal = peer_key_refusal(settings, target.name)) return std::unexpected(std::move(*refusal));
        target.options = option_texts(settings);
        if (target.options.ca_file) target.options.ca_file = joined(base_folder_, *target.options.ca_file);
        auto thresholds = ping_thresholds(settings, target.name);
        if (!thresholds) return std::unexpected(std::move(thresholds.error()));
        target.ping_thresholds = *thresholds;
        auto days = certificate_thresholds(settings, target.name);
        if (!days) return std::unexpected(std::move(days.error()));
        target.certificate_thresholds = *days;
        if (const SettingValue* labels = settings.find(SettingKey::labels)) {
            target.labels = std::get<std::vector<Label>>(labels->value);
        }
        return target;
    }

private:
    std::expected<std::string, FleetRefusal> checked_name(const TableSettings& own, std::size_t index) {
        const SettingValue* name = own.find(SettingKey::name);
        if (name == nullptr) return std::unexpected(FleetRefusal{own.at, target_prefix(index), "name is required"});
        const std::string& text = name->text();
        if (!is_target_name(text)) {
            return std::unexpected(FleetRefusal{name->at, target_prefix(index),
                                                "name must be letters, digits, '.', '_' or '-', got \"" + text + "\""});
        }
        const auto [first, inserted] = first_use_.try_emplace(text, name->at);
        if (!inserted) {
            return std::unexpected(FleetRefusal{name->at, target_prefix(text),
                                                "duplicate name, first used at line " + std::to_string(first->second.line)});
        }
        return text;
    }

    std::expected<std::variant<ConfigFileMode, RawKeyMode>, FleetRefusal> checked_mode(const EffectiveSettings& settings,
                                                                                      const std::string& name) const {
        // The target's own raw-key fields conflict with its configuration
        // file; defaults of those fields only serve raw-key targets.
        const SettingValue* config = settings.own.find(SettingKey::config);
        std::array<bool, input::raw_key_field_count> given{};
        for (std::size_t field = 0; field < given.size(); ++field) {
            given[field] = (config ? settings.own.find(raw_key_settings[field]) : settings.find(raw_key_settings[field])) !=
                           nullptr;
        }
        if (auto refusal = input::input_mode_refusal(config != nullptr, given, input_mode_names)) {
            const SourcePosition at = refusal->conflicting
                                          ? settings.own.find(raw_key_settings[static_cast<std::size_t>(*refusal->conflicting)])->at
                                          : settings.own.at;
            return std::unexpected(FleetRefusal{at, target_prefix(name), std::move(refusal->message)});
        }
        if (config) return ConfigFileMode{joined(base_folder_, config->text())};
        RawKeyMode raw;
        raw.private_key_file = joined(base_folder_, settings.find(SettingKey::private_key_file)->text());
        raw.texts.peer_key = settings.find(SettingKey::peer_key)->text();
        raw.texts.endpoint = settings.find(SettingKey::endpoint)->text();
        if (const SettingValue* address = settings.find(SettingKey::address)) raw.texts.address = address->text();
        if (const SettingValue* allowed = settings.find(SettingKey::allowed_ips)) raw.texts.allowed_ips = texts_of(*allowed);
        if (const SettingValue* address6 = settings.find(SettingKey::address6)) raw.texts.address6 = address6->text();
        return raw;
    }

    const FleetDocument& document_;
    std::string_view base_folder_;
    std::unordered_map<std::string, SourcePosition> first_use_;
};

// Plans every target once by the single probe's rules, dropping each plan
// at once, and numbers the pairs of client key and peer key.
std::expected<std::uint32_t, FleetRefusal> check_inputs(const FleetDocument& document,
                                                        std::vector<FleetTarget>& targets) {
    std::map<KeyIdentity, std::uint32_t> key_identities;
    for (std::size_t index = 0; index < targets.size(); ++index) {
        FleetTarget& target = targets[index];
        auto plan = plan_target(target);
        if (!plan) {
            const EffectiveSettings settings{document.targets[index], document.defaults};
            return std::unexpected(FleetRefusal{refused_value_at(plan.error(), settings, target),
                                                target_prefix(target.name), std::move(plan.error().message)});
        }
        const auto next = static_cast<std::uint32_t>(key_identities.size());
        target.key_identity = key_identities.try_emplace(key_identity(plan->config), next).first->second;
    }
    return static_cast<std::uint32_t>(key_identities.size());
}

}  // namespace

std::expected<Fleet, FleetRefusal> read_fleet(std::string_view text, std::string_view base_folder) {
    auto document = parse_fleet_document(text);
    if (!document) return std::unexpected(std::move(document.error()));
    if (document->targets.empty()) {
        return std::unexpected(FleetRefusal{{}, {}, "no targets: a fleet file holds one [[target]] table per target"});
    }
    // Names and modes of every target first: cheap, and found before any file is read.
    TargetBuilder builder(*document, base_folder);
    std::vector<FleetTarget> targets;
    targets.reserve(document->targets.size());
    for (std::size_t index = 0; index < document->targets.size(); ++index) {
        auto target = builder.build(index);
        if (!target) return std::unexpected(std::move(target.error()));
        targets.push_back(std::move(*target));
    }
    auto key_identity_count = check_inputs(*document, targets);
    if (!key_identity_count) return std::unexpected(std::move(key_identity_count.error()));
    return Fleet(std::move(targets), *key_identity_count);
}

std::expected<Fleet, std::string> load_fleet_file(const std::string& path) {
    const auto followed = followed_path(path, "fleet");
    if (!followed) return std::unexpected(followed.error());
    auto contents = input::read_file_carefully(*followed, "fleet", fleet_file_limit_bytes, path);
    if (!contents) return std::unexpected(std::move(contents.error()));
    auto fleet = read_fleet(contents->text(), folder_of(path));
    if (!fleet) return std::unexpected(refusal_text(fleet.error(), path));
    return std::move(*fleet);
}

std::string folder_of(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return {};
    return std::string(path.substr(0, slash == 0 ? 1 : slash));
}

}  // namespace quorlin::fleet
