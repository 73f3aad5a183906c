#pragma once
// The fleet the exporter serves, read from its file at start and again on
// each reload. A request takes the current fleet and keeps it for as long as
// it runs, so a reload never pulls a target from under a running probe; a
// file that fails to read leaves the current fleet in place.

#include "exporter/exporter_metrics.hpp"
#include "exporter/key_turns.hpp"
#include "fleet/fleet.hpp"

#include <expected>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace quorlin::exporter {

// One reading of the fleet file, with the turns of its key pairs.
struct ServedFleet {
    explicit ServedFleet(fleet::Fleet read);

    const fleet::Fleet fleet;
    KeyTurns key_turns;
};

class FleetSource {
public:
    FleetSource(std::string path, ExporterMetrics& metrics) : path_(std::move(path)), metrics_(metrics) {}
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
    ExporterMetrics& metrics_;
    mutable std::mutex mutex_;
    std::shared_ptr<ServedFleet> current_;
};

}  // namespace quorlin::exporter
