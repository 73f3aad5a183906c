#pragma once
// The fleet's output as outcomes arrive from the worker threads: each one is
// rendered, written at once under one lock and counted, never kept. On a
// terminal a progress line on stderr stays below the rows, redrawn as they
// come and cleared at the end. A write that fails stops the run (no new
// probe starts) and makes the exit status 3.

#include "command/fleet_tally.hpp"
#include "command/output_options.hpp"
#include "fleet/fleet_run.hpp"

#include <cstddef>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>

namespace quorlin::command {

class FleetPrinter {
public:
    // `progress`: draw the progress line (stderr is a terminal).
    FleetPrinter(OutputArguments output, std::size_t total, std::size_t name_width, bool progress,
                 std::stop_source stop);

    // What comes before the first outcome; false when it could not be written.
    bool begin();
    // One finished target, from a worker thread.
    void add(fleet::TargetOutcome outcome);
    // Redraws the progress line, for the time that passes between outcomes.
    void tick();
    // One line "quorlin: MESSAGE" on stderr, with the progress line out of its way.
    void notice(std::string_view message);
    // The summary or the plugin line; nothing is written afterwards, even by
    // workers still running. `stopped_by` names what stopped the run early
    // ("interrupted", "terminated"), empty when it completed. The exit status.
    int finish(std::string_view stopped_by);

private:
    void write(const std::string& text);
    void erase_progress();
    void draw_progress(bool throttled);

    const OutputArguments output_;
    const std::size_t name_width_;
    const bool progress_;
    const std::size_t progress_columns_;
    std::stop_source stop_;
    const Instant started_ = Clock::now();

    std::mutex mutex_;
    FleetTally tally_;
    bool write_failed_ = false;
    bool finished_ = false;
    bool progress_shown_ = false;
    Instant progress_drawn_{};
};

}  // namespace quorlin::command
