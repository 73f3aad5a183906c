// The one place that includes toml++ (header-only, without exceptions: its
// parse result carries the error and the position).
#include "fleet/fleet_toml.hpp"

#include "fleet/names.hpp"

#include <toml++/toml.h>

#include <algorithm>
#include <string>
#include <utility>

namespace quorlin::fleet {

namespace {

SourcePosition position_of(const toml::source_region& region) { return {region.begin.line, region.begin.column}; }

std::string type_name(const toml::node& node) {
    switch (node.type()) {
        case toml::node_type::table: return "table";
        case toml::node_type::array: return "array";
        case toml::node_type::string: return "string";
        case toml::node_type::integer: return "integer";
        case toml::node_type::floating_point: return "float";
        case toml::node_type::boolean: return "boolean";
        case toml::node_type::date: return "date";
        case toml::node_type::time: return "time";
        case toml::node_type::date_time: return "date-time";
        case toml::node_type::none: break;
    }
    return "nothing";
}

std::string quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

// A table's keys are kept sorted; the first refusal should be the first one
// in the file.
std::vector<std::pair<const toml::key*, const toml::node*>> in_file_order(const toml::table& table) {
    std::vector<std::pair<const toml::key*, const toml::node*>> entries;
    entries.reserve(table.size());
    for (const auto& [key, node] : table) entries.emplace_back(&key, &node);
    std::ranges::sort(entries, [](const auto& a, const auto& b) {
        const toml::source_position& left = a.first->source().begin;
        const toml::source_position& right = b.first->source().begin;
        return std::pair(left.line, left.column) < std::pair(right.line, right.column);
    });
    return entries;
}

const SettingSpec* spec_named(std::string_view key) noexcept {
    const auto found = std::ranges::find(setting_specs, key, &SettingSpec::key_text);
    return found == setting_specs.end() ? nullptr : &*found;
}

// Reads one table, [defaults] or a [[target]]; refusals name `target`.
class TableReader {
public:
    TableReader(std::string target, bool defaults) : target_(std::move(target)), defaults_(defaults) {}

    std::expected<TableSettings, FleetRefusal> read(const toml::table& table) const {
        TableSettings settings;
        settings.at = position_of(table.source());
        for (const auto& [key, node] : in_file_order(table)) {
            const SettingSpec* spec = spec_named(key->str());
            const SourcePosition at = position_of(key->source());
            if (spec == nullptr) {
                return refuse(at, "unknown key " + quoted(key->str()) + (defaults_ ? " in [defaults]" : ""));
            }
            if (defaults_ && !spec->may_default) {
                return refuse(at, std::string(spec->key_text) + " cannot be set in [defaults]");
            }
            auto value = read_value(*spec, *node);
            if (!value) return std::unexpected(std::move(value.error()));
            settings.values[static_cast<std::size_t>(spec->key)] = std::move(*value);
        }
        return settings;
    }

private:
    std::unexpected<FleetRefusal> refuse(SourcePosition at, std::string message) const {
        return std::unexpected(FleetRefusal{at, target_, std::move(message)});
    }

    std::unexpected<FleetRefusal> wrong_type(const SettingSpec& spec, std::string_view expected,
                                             const toml::node& node) const {
        return refuse(position_of(node.source()),
                      std::string(spec.key_text) + " must be " + std::string(expected) + ", got " + type_name(node));
    }

    std::expected<SettingValue, FleetRefusal> read_value(const SettingSpec& spec, const toml::node& node) const {
        SettingValue setting{position_of(node.source()), {}};
        switch (spec.kind) {
            case SettingKind::text:
                if (!node.is_string()) return wrong_type(spec, "a string", node);
                setting.value = node.as_string()->get();
                return setting;
            case SettingKind::integer:
                if (!node.is_integer()) return wrong_type(spec, "an integer", node);
                setting.value = node.as_integer()->get();
                return setting;
            case SettingKind::text_list: {
                if (!node.is_array()) return wrong_type(spec, "an array of strings", node);
                std::vector<LocatedText> texts;
                for (const toml::node& item : *node.as_array()) {
                    if (!item.is_string()) return wrong_type(spec, "an array of strings", item);
                    texts.push_back({item.as_string()->get(), position_of(item.source())});
                }
                setting.value = std::move(texts);
                return setting;
            }
            case SettingKind::labels: break;
        }
        if (!node.is_table()) return wrong_type(spec, "a table of strings", node);
        std::vector<Label> labels;
        for (const auto& [key, value] : in_file_order(*node.as_table())) {
            if (auto refusal = label_name_refusal(key->str())) return refuse(position_of(key->source()), *refusal);
            if (!value->is_string()) {
                return refuse(position_of(value->source()),
                              "label " + quoted(key->str()) + " must be a string, got " + type_name(*value));
            }
            labels.push_back({std::string(key->str()), value->as_string()->get()});
        }
        std::ranges::sort(labels, {}, &Label::name);
        setting.value = std::move(labels);
        return setting;
    }

    std::string target_;
    bool defaults_;
};

// How refusals inside a target's table name it: by its name when it has a
// usable one, else by its place.
std::string label_of_target(const toml::table& table, std::size_t index) {
    const toml::node* name = table.get("name");
    if (name != nullptr && name->is_string() && is_target_name(name->as_string()->get())) {
        return target_label(name->as_string()->get());
    }
    return target_label(index);
}

}  // namespace

std::expected<FleetDocument, FleetRefusal> parse_fleet_document(std::string_view text) {
    toml::parse_result parsed = toml::parse(text);
    if (!parsed) {
        return std::unexpected(FleetRefusal{position_of(parsed.error().source()), {},
                                            "invalid TOML: " + std::string(parsed.error().description())});
    }
    const toml::table& root = parsed.table();
    FleetDocument document;
    for (const auto& [key, node] : in_file_order(root)) {
        const SourcePosition at = position_of(node->source());
        if (key->str() == "defaults") {
            if (!node->is_table()) {
                return std::unexpected(
                    FleetRefusal{at, {}, "defaults must be a table ([defaults]), got " + type_name(*node)});
            }
            auto defaults = TableReader({}, true).read(*node->as_table());
            if (!defaults) return std::unexpected(std::move(defaults.error()));
            document.defaults = std::move(*defaults);
        } else if (key->str() == "target") {
            const toml::array* targets = node->as_array();
            if (targets == nullptr) {
                return std::unexpected(FleetRefusal{
                    at, {}, "target must be an array of tables (each one [[target]]), got " + type_name(*node)});
            }
            for (const toml::node& item : *targets) {
                const std::size_t index = document.targets.size();
                if (!item.is_table()) {
                    return std::unexpected(FleetRefusal{position_of(item.source()), target_label(index),
                                                        "a target must be a table ([[target]]), got " + type_name(item)});
                }
                auto target = TableReader(label_of_target(*item.as_table(), index), false).read(*item.as_table());
                if (!target) return std::unexpected(std::move(target.error()));
                document.targets.push_back(std::move(*target));
            }
        } else {
            return std::unexpected(FleetRefusal{position_of(key->source()), {},
                                                "unknown key " + quoted(key->str()) +
                                                    ": a fleet file holds [defaults] and [[target]] tables"});
        }
    }
    return document;
}

}  // namespace quorlin::fleet
