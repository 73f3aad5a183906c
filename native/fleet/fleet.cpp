#include "fleet/fleet.hpp"

#include <algorithm>
#include <numeric>
#include <utility>

namespace quorlin::fleet {

Fleet::Fleet(std::vector<FleetTarget> targets, std::uint32_t key_identity_count)
    : targets_(std::move(targets)), by_name_(targets_.size()), key_identity_count_(key_identity_count) {
    std::iota(by_name_.begin(), by_name_.end(), 0u);
    std::ranges::sort(by_name_, {}, [this](std::uint32_t index) -> std::string_view { return targets_[index].name; });
}

const FleetTarget* Fleet::find(std::string_view name) const noexcept {
    const auto found = std::ranges::lower_bound(
        by_name_, name, {}, [this](std::uint32_t index) -> std::string_view { return targets_[index].name; });
    if (found == by_name_.end() || targets_[*found].name != name) return nullptr;
    return &targets_[*found];
}

std::expected<std::vector<std::uint32_t>, std::string> Fleet::select(std::span<const std::string> names) const {
    std::vector<bool> chosen(targets_.size(), names.empty());
    for (const std::string& name : names) {
        const FleetTarget* target = find(name);
        if (target == nullptr) return std::unexpected(name);
        chosen[static_cast<std::size_t>(target - targets_.data())] = true;
    }
    std::vector<std::uint32_t> selected;
    for (std::uint32_t index = 0; index < targets_.size(); ++index) {
        if (chosen[index]) selected.push_back(index);
    }
    return selected;
}

}  // namespace quorlin::fleet
