#pragma once
// A fleet: the validated targets of one fleet file, immutable once read.
// A target keeps what it needs to be planned again when it is probed (the
// option texts and the paths of its files), never key material: the files
// are read each time a probe is planned, and the plan, keys and all, is
// released with the probe.

#include "fleet/settings.hpp"
#include "input/flows.hpp"
#include "input/options.hpp"
#include "probe/outcome.hpp"

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quorlin::fleet {

// A WireGuard configuration file, as a single probe takes it.
struct ConfigFileMode {
    std::string path;
};

// A private-key file and the texts that go with it, as a single probe takes them.
struct RawKeyMode {
    std::string private_key_file;
    input::RawKeyTexts texts;
};

struct FleetTarget {
    std::string name;
    std::vector<Label> labels;  // sorted by name
    std::variant<ConfigFileMode, RawKeyMode> mode;
    input::OptionTexts options;  // the defaults applied
    PingThresholds ping_thresholds;  // ping_warning and ping_critical
    CertificateThresholds certificate_thresholds;  // tls_days_warning and tls_days_critical
    // Targets with the same value share both client key and peer key, and the
    // peer answers only one initiation from a key at a time.
    std::uint32_t key_identity = 0;
};

class Fleet {
public:
    // Target names are unique; key_identity values run from 0 to key_identity_count - 1.
    Fleet(std::vector<FleetTarget> targets, std::uint32_t key_identity_count);

    std::span<const FleetTarget> targets() const noexcept { return targets_; }
    std::uint32_t key_identity_count() const noexcept { return key_identity_count_; }

    // The target of that name, or nullptr.
    const FleetTarget* find(std::string_view name) const noexcept;

    // The indexes of the targets named, in the fleet's order, each once; of
    // every target when `names` is empty. The first name not in the fleet
    // refuses the selection.
    std::expected<std::vector<std::uint32_t>, std::string> select(std::span<const std::string> names) const;

private:
    std::vector<FleetTarget> targets_;
    std::vector<std::uint32_t> by_name_;  // indexes into targets_, sorted by name
    std::uint32_t key_identity_count_;
};

}  // namespace quorlin::fleet
