#pragma once
// Where a refusal of a target's inputs points: at the value it is about, as
// written in the target's table or in [defaults], else at the file the value
// came from (config, private_key_file), else at the target's table. The
// single probe's rules decide; each value is tried alone to find which one
// they refuse.

#include "fleet/fleet.hpp"
#include "fleet/fleet_refusal.hpp"
#include "fleet/settings.hpp"
#include "input/flows.hpp"

#include <optional>
#include <string>

namespace quorlin::fleet {

// The position of the value behind `refusal`, a refusal of planning `target`.
SourcePosition refused_value_at(const input::PlanRefusal& refusal, const EffectiveSettings& settings,
                                const FleetTarget& target);

// A peer_key that is not a key, named by the fleet file's key; checked before
// any file is read (the key file's own refusal names its PrivateKey).
std::optional<FleetRefusal> peer_key_refusal(const EffectiveSettings& settings, const std::string& target_name);

}  // namespace quorlin::fleet
