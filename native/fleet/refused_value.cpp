#include "fleet/refused_value.hpp"

#include "config/keys.hpp"
#include "config/unicode_whitespace.hpp"
#include "fleet/target_probe.hpp"
#include "input/options.hpp"
#include "input/reachable_endpoint.hpp"

#include <algorithm>
#include <utility>

namespace quorlin::fleet {

namespace {

bool is_config_mode(const FleetTarget& target) { return std::holds_alternative<ConfigFileMode>(target.mode); }

// The file the target's key material comes from: its configuration or its private-key file.
SourcePosition file_at(const EffectiveSettings& settings, const FleetTarget& target) {
    return settings.find(is_config_mode(target) ? SettingKey::config : SettingKey::private_key_file)->at;
}

// Where a setting was written, if it was.
std::optional<SourcePosition> at_of(const EffectiveSettings& settings, SettingKey key) {
    if (const SettingValue* value = settings.find(key)) return value->at;
    return std::nullopt;
}

// Which option value the options' refusal is about: each value is checked
// alone by the same rules, in the order they check them, so the first one
// refused alone is the one the refusal names.
SourcePosition refused_option_at(const EffectiveSettings& settings) {
    const auto refused_alone = [](auto&& set) {
        input::OptionTexts alone;
        set(alone);
        return !input::ProbeOptions::parse(std::move(alone));
    };
    if (const SettingValue* ping = settings.find(SettingKey::ping)) {
        for (const LocatedText& item : ping->items()) {
            if (refused_alone([&](input::OptionTexts& alone) { alone.ping = {item.text}; })) return item.at;
        }
    }
    if (const SettingValue* server = settings.find(SettingKey::dns_server)) {
        if (refused_alone([&](input::OptionTexts& alone) { alone.dns_server = server->text(); })) return server->at;
    }
    for (auto [key, field] : {std::pair{SettingKey::tcp, &input::OptionTexts::tcp},
                              std::pair{SettingKey::tls, &input::OptionTexts::tls},
                              std::pair{SettingKey::http, &input::OptionTexts::http}}) {
        const SettingValue* value = settings.find(key);
        for (const LocatedText& item : value ? value->items() : std::vector<LocatedText>{}) {
            if (refused_alone([&](input::OptionTexts& alone) { alone.*field = {item.text}; })) return item.at;
        }
    }
    if (const SettingValue* statuses = settings.find(SettingKey::http_status)) {
        if (refused_alone([&](input::OptionTexts& alone) { alone.http_status = statuses->text(); })) return statuses->at;
    }
    // The limits come after the ping targets, the DNS server and the TCP
    // targets, the echo count, interval and size after the limits.
    for (const input::TimeLimitName& limit : input::time_limit_names) {
        const SettingValue* value = settings.find(spec_named(limit.key)->key);
        const auto set = [&](input::OptionTexts& alone) { alone.*limit.text = std::get<std::int64_t>(value->value); };
        if (value != nullptr && refused_alone(set)) return value->at;
    }
    for (auto [key, field] : {std::pair{SettingKey::ping_count, &input::OptionTexts::ping_count},
                              std::pair{SettingKey::ping_interval_ms, &input::OptionTexts::ping_interval_ms}}) {
        const SettingValue* value = settings.find(key);
        if (value != nullptr &&
            refused_alone([&](input::OptionTexts& alone) { alone.*field = std::get<std::int64_t>(value->value); })) {
            return value->at;
        }
    }
    if (const SettingValue* mtu = settings.find(SettingKey::mtu)) {
        if (refused_alone([&](input::OptionTexts& alone) { alone.mtu = std::get<std::int64_t>(mtu->value); })) {
            return mtu->at;
        }
    }
    return settings.own.at;
}

// The raw-key rules, in the order the single probe applies them.
SourcePosition refused_raw_key_at(const EffectiveSettings& settings, const FleetTarget& target) {
    const auto& raw = std::get<RawKeyMode>(target.mode);
    const auto address4 = at_of(settings, SettingKey::address);
    const auto address = address4 ? address4 : at_of(settings, SettingKey::address6);
    if (address.has_value() == raw.texts.allowed_ips.empty()) {
        return address.value_or(at_of(settings, SettingKey::allowed_ips).value_or(settings.own.at));
    }
    if (!address && !target.options.ping.empty()) return *at_of(settings, SettingKey::ping);
    if (!address && !target.options.resolve.empty()) return *at_of(settings, SettingKey::resolve);
    if (!address && !target.options.tcp.empty()) return *at_of(settings, SettingKey::tcp);
    if (!address && !target.options.tls.empty()) return *at_of(settings, SettingKey::tls);
    if (!address && !target.options.http.empty()) return *at_of(settings, SettingKey::http);
    if (!target.options.resolve.empty() && !target.options.dns_server) return *at_of(settings, SettingKey::resolve);
    if (raw.texts.address && !input::parse_cidr(*raw.texts.address, "address")) return *address4;
    if (const SettingValue* entries = settings.find(SettingKey::allowed_ips)) {
        for (const LocatedText& entry : entries->items()) {
            const bool ipv6 = entry.text.find(':') != std::string::npos;
            if (ipv6 ? !input::parse_cidr6(entry.text, "") : !input::parse_cidr(entry.text, "")) return entry.at;
        }
    }
    if (raw.texts.address6) {
        const auto address6 = input::parse_cidr6(*raw.texts.address6, "address6");
        if (!address6 || is_ipv4_mapped(address6->address)) return *at_of(settings, SettingKey::address6);
    }
    if (input::unreachable_endpoint(raw.texts.endpoint, "endpoint")) return *at_of(settings, SettingKey::endpoint);
    return settings.own.at;
}

// The plan's own validation, in its order: the target planned without its
// data checks and MTU check, then with one value of them at a time.
SourcePosition refused_validation_at(const EffectiveSettings& settings, const FleetTarget& target) {
    const input::OptionTexts& options = target.options;
    FleetTarget bare = target;
    bare.options.ping.clear();
    bare.options.resolve.clear();
    bare.options.dns_server.reset();
    bare.options.tcp.clear();
    bare.options.tls.clear();
    bare.options.http.clear();
    bare.options.tls_server_name.reset();
    bare.options.ca_file.reset();
    bare.options.mtu_check = false;
    bare.options.mtu.reset();
    auto plan = plan_target(bare);
    if (!plan) {
        // Without them only the keys can be refused (a low-order peer key).
        if (plan.error().step != input::PlanStep::validation) return settings.own.at;
        return is_config_mode(target) ? file_at(settings, target) : *at_of(settings, SettingKey::peer_key);
    }
    const bool services = !options.tcp.empty() || !options.tls.empty() || !options.http.empty();
    if (options.mtu && !options.mtu_check && !services) return *at_of(settings, SettingKey::mtu);
    if (options.mtu_check && options.ping.empty()) return *at_of(settings, SettingKey::mtu_check);
    if ((options.mtu_check || services) && !options.mtu && !plan->expected_mtu()) {
        return file_at(settings, target);
    }
    // A configuration without an IPv4 Address or AllowedIPs serves no IPv4
    // data check (IPv6 ping targets are located one by one below).
    const bool ipv4_ping = std::ranges::any_of(options.ping, [](const std::string& text) {
        return text.find(':') == std::string::npos;
    });
    if ((ipv4_ping || !options.resolve.empty() || services) &&
        (!plan->config.address || plan->config.allowed_ips.empty())) {
        return file_at(settings, target);
    }

    const auto refused = [&plan] { return !plan->validate(); };
    if (const SettingValue* ping = settings.find(SettingKey::ping)) {
        for (const LocatedText& item : ping->items()) {
            plan->ping = {*parse_ip_address(item.text)};  // read by the options already
            if (refused()) return item.at;
        }
    }
    plan->ping.clear();
    if (const SettingValue* tcp = settings.find(SettingKey::tcp)) {
        for (const LocatedText& item : tcp->items()) {
            plan->tcp = {*input::parse_tcp_target(item.text, "tcp")};  // read by the options already
            if (refused()) return item.at;
        }
    }
    plan->tcp.clear();
    if (options.dns_server) plan->dns_server = parse_ipv4_address(*options.dns_server);
    if (const SettingValue* resolve = settings.find(SettingKey::resolve)) {
        for (const LocatedText& item : resolve->items()) {
            plan->resolve = {item.text};
            if (!refused()) continue;
            // The DNS server is missing or outside AllowedIPs, or else the name is refused.
            if (!plan->effective_dns_server()) return resolve->at;
            if (!allowed_ips_contain(plan->config.allowed_ips, *plan->effective_dns_server())) {
                return at_of(settings, SettingKey::dns_server).value_or(file_at(settings, target));
            }
            return item.at;
        }
    }
    return settings.own.at;
}

// A plan whose echoes outlast its deadline: the value the target itself
// wrote (a deadline of its own below the echoes of [defaults]), else the
// default, in the order the refusal names them; the echo count is written
// somewhere, since one echo per target never outlasts a deadline.
SourcePosition refused_deadline_at(const EffectiveSettings& settings) {
    constexpr SettingKey keys[] = {SettingKey::ping_count, SettingKey::ping_interval_ms, SettingKey::deadline_ms};
    for (const SettingKey key : keys) {
        if (const SettingValue* value = settings.own.find(key)) return value->at;
    }
    for (const SettingKey key : keys) {
        if (const auto at = at_of(settings, key)) return *at;
    }
    return settings.own.at;
}

}  // namespace

SourcePosition refused_value_at(const input::PlanRefusal& refusal, const EffectiveSettings& settings,
                                const FleetTarget& target) {
    switch (refusal.step) {
        case input::PlanStep::options: return refused_option_at(settings);
        case input::PlanStep::raw_key_arguments: return refused_raw_key_at(settings, target);
        case input::PlanStep::input_file: return file_at(settings, target);
        case input::PlanStep::validation: return refused_validation_at(settings, target);
        case input::PlanStep::deadline: return refused_deadline_at(settings);
    }
    return settings.own.at;
}

std::optional<FleetRefusal> peer_key_refusal(const EffectiveSettings& settings, const std::string& target_name) {
    const SettingValue* peer_key = settings.find(SettingKey::peer_key);
    if (peer_key == nullptr) return std::nullopt;
    auto key = parse_key(spec_of(SettingKey::peer_key).key_text, trim_unicode_whitespace(peer_key->text()));
    if (key) return std::nullopt;
    return FleetRefusal{peer_key->at, target_prefix(target_name), key.error().to_text()};
}

}  // namespace quorlin::fleet
