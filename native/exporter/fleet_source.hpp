#pragma once
// The fleet the exporter serves, read from its file at start and again on
// each reload. A request takes the current fleet and keeps it for as long as
// it runs, so a reload never pulls a target from under a running probe; a
// file that fails to read leaves the current fleet in place.

#include "fleet/fleet.hpp"

#include <expected>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace quorlin::exporter {

// One reading of the fleet file. Probes take their key turns themselves,
// process-wide, so turns outlast a reload.
struct ServedFleet {
    explicit ServedFleet(fleet::Fleet read) : fleet(std::move(read)) {}

    const fleet::Fleet fleet;
};

class FleetSource {
public:
    explicit FleetSource(std::string path) : path_(std::move(path)) {}
    FleetSource(const FleetSource&) = delete;
    FleetSource& operator=(const FleetSource&) = delete;

    // Reads the file; on success its fleet replaces the current one. The
    // refusal is the fleet reader's one line (FILE:LINE:COLUMN: ...).
    std::expected<void, std::string> reload();

    // Null before the first successful reading.
    std::shared_ptr<ServedFleet> current() const;

    const std::string& path() const noexcept { return path_; }

private:
    const std::string path_;
    mutable std::mutex mutex_;
    std::shared_ptr<ServedFleet> current_;
};

}  // namespace quorlin::exporter
