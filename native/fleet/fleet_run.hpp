#pragma once
// A fleet's probes, run on worker threads of their own: at most `concurrency`
// at once, in the order the key schedule allows (key_schedule.hpp). Each
// outcome goes to the sink as soon as its probe ends and is not kept, so
// memory and descriptors grow with the concurrency, not the fleet.

#include "common/owned_fd.hpp"
#include "fleet/fleet.hpp"
#include "fleet/key_schedule.hpp"
#include "probe/report.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace quorlin::fleet {

struct TargetOutcome {
    const FleetTarget* target = nullptr;
    // The report, or the refusal of the target's inputs as they were when
    // its probe was planned.
    std::expected<ProbeReport, std::string> report;
};

// Called on the worker threads, possibly several at once.
using OutcomeSink = std::function<void(TargetOutcome)>;

class FleetRun {
public:
    // Starts the workers on `targets` (indexes into the fleet, in the order
    // to probe them); a stop requested through `stop` starts no new probe.
    // Fails with the system error when not even one worker thread could be
    // created; fewer than asked just probe more each.
    static std::expected<std::unique_ptr<FleetRun>, int> start(std::shared_ptr<const Fleet> fleet,
                                                               const std::vector<std::uint32_t>& targets,
                                                               std::size_t concurrency, std::stop_source stop,
                                                               OutcomeSink sink);

    FleetRun(const FleetRun&) = delete;
    FleetRun& operator=(const FleetRun&) = delete;
    // Stops and waits for the workers, unless abandoned.
    ~FleetRun();

    // Readable once every worker has ended.
    int done_fd() const noexcept;
    // No new probe starts; running ones end by their deadlines.
    void stop() noexcept;
    std::size_t running() const;
    // Leaves the workers to themselves (they keep what they use alive): for a
    // process about to end without waiting for them.
    void abandon() noexcept;

private:
    struct Shared;
    explicit FleetRun(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

    std::shared_ptr<Shared> shared_;
    std::vector<std::thread> workers_;
};

}  // namespace quorlin::fleet
