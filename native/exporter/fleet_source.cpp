#include "exporter/fleet_source.hpp"

#include "fleet/fleet_file.hpp"

#include <utility>

namespace quorlin::exporter {

std::expected<void, std::string> FleetSource::reload() {
    auto loaded = fleet::load_fleet_file(path_);
    if (!loaded) return std::unexpected(std::move(loaded.error()));
    auto fresh = std::make_shared<ServedFleet>(std::move(*loaded));
    {
        const std::lock_guard lock(mutex_);
        current_.swap(fresh);
    }
    // The previous fleet, if no request holds it any more, goes here, outside the lock.
    return {};
}

std::shared_ptr<ServedFleet> FleetSource::current() const {
    const std::lock_guard lock(mutex_);
    return current_;
}

}  // namespace quorlin::exporter
