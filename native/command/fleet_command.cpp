#include "command/fleet_command.hpp"

#include "command/fd_writes.hpp"
#include "command/fleet_printer.hpp"
#include "command/interruptible_run.hpp"
#include "command/terminal_text.hpp"
#include "common/counted.hpp"
#include "common/os_error.hpp"
#include "common/signal_watch.hpp"
#include "fleet/fleet_file.hpp"
#include "fleet/fleet_run.hpp"
#include "common/open_file_budget.hpp"
#include "fleet/resolver_workers.hpp"
#include "probe/probe.hpp"
#include "probe/shared_lookups.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <optional>
#include <utility>

namespace quorlin::command {

namespace {

constexpr std::chrono::milliseconds progress_tick{250};

// Fewer probes at once when the open-file limit cannot hold them all; never
// more than there are targets.
std::size_t fitting_concurrency(std::size_t asked, std::size_t targets) {
    const std::size_t wanted = std::min(asked, targets);
    const OpenFileBudget budget = fit_open_files(wanted);
    if (const std::string notice = lowered_notice(asked, wanted, budget); !notice.empty()) print_error(notice);
    return budget.probes;
}

std::size_t longest_name(const fleet::Fleet& fleet, const std::vector<std::uint32_t>& selected) {
    std::size_t longest = 0;
    for (std::uint32_t index : selected) longest = std::max(longest, fleet.targets()[index].name.size());
    return longest;
}

std::chrono::milliseconds longest_deadline(const fleet::Fleet& fleet, const std::vector<std::uint32_t>& selected) {
    std::int64_t longest = 0;
    for (std::uint32_t index : selected) longest = std::max(longest, fleet.targets()[index].options.deadline_ms);
    return std::chrono::milliseconds(longest);
}

int poll_timeout_ms(bool progress, std::optional<Instant> give_up) {
    std::optional<Clock::duration> wait;
    if (progress) wait = progress_tick;
    if (give_up) wait = std::min(wait.value_or(Clock::duration::max()), *give_up - Clock::now());
    if (!wait) return -1;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(*wait).count();
    return static_cast<int>(std::clamp<std::int64_t>(ms, 0, 1'000'000'000));
}

// How the wait ended: `abandoned` when probes may still be running (the
// process must end without joining them); `stopped_by` names the signal that
// stopped the run early, empty when it completed.
struct RunEnd {
    bool abandoned = false;
    std::string_view stopped_by;
};

// Waits for the run to end. The first Ctrl-C (or a failed write) stops it
// and waits for the running probes' deadlines; a second Ctrl-C ends the
// wait at once. SIGTERM ends it at once: a monitoring system sends it when
// the check has run too long, and it wants what finished now.
RunEnd wait_for_run(fleet::FleetRun& run, const SignalWatch& interrupt, FleetPrinter& printer, std::stop_source& stop,
                    bool progress, std::chrono::milliseconds longest) {
    constexpr std::string_view interrupted_word = "interrupted";
    bool interrupted = false;
    std::optional<Instant> give_up;
    for (;;) {
        if (!give_up && stop.stop_requested()) give_up = Clock::now() + longest + probe_overrun_grace;
        pollfd watched[2] = {{run.done_fd(), POLLIN, 0}, {interrupt.fd(), POLLIN, 0}};
        const int ready = ::poll(watched, 2, poll_timeout_ms(progress, give_up));
        if (ready < 0 && errno != EINTR) {
            printer.notice("could not wait for the probes: " + os_error_text(errno));
            return {true, interrupted_word};
        }
        if ((watched[0].revents & POLLIN) != 0) return {false, interrupted ? interrupted_word : std::string_view()};
        if ((watched[1].revents & POLLIN) != 0) {
            const std::string_view word = stopped_by(interrupt.next());
            if (word != interrupted_word) {
                stop.request_stop();
                const std::size_t running = run.running();
                printer.notice(running == 0 ? std::string(word)
                                            : std::string(word) + ": " + counted(running, "probe") + " left running");
                return {true, word};
            }
            if (interrupted) {
                printer.notice("interrupted again: " + counted(run.running(), "probe") + " left running");
                return {true, interrupted_word};
            }
            interrupted = true;
            stop.request_stop();
            const std::size_t running = run.running();
            printer.notice(running == 0 ? std::string("interrupted")
                                        : "interrupted: waiting for " + counted(running, "running probe") +
                                              (running == 1 ? " to end by its deadline" : " to end by their deadlines") +
                                              " (Ctrl-C again to stop now)");
        }
        if (give_up && Clock::now() >= *give_up) {
            printer.notice("the running probes did not end by their deadlines");
            return {true, interrupted_word};
        }
        printer.tick();
    }
}

}  // namespace

CommandEnd run_fleet_command(FleetRequest request) {
    const OutputFormat format = request.output.format;
    auto loaded = fleet::load_fleet_file(request.fleet_file);
    if (!loaded) {
        print_unknown(loaded.error(), format);
        return {unknown_exit_status, false};
    }
    const auto fleet = std::make_shared<const fleet::Fleet>(std::move(*loaded));
    const auto selected = fleet->select(request.targets);
    if (!selected) {
        print_unknown("no target \"" + selected.error() + "\" in " + request.fleet_file, format);
        return {unknown_exit_status, false};
    }
    if (request.check_only) {
        const std::string line = shown(request.fleet_file) + ": " + counted(fleet->targets().size(), "target") + " OK\n";
        const bool printed = print_output(line);
        return {printed ? 0 : unknown_exit_status, false};
    }

    // Watched before any worker exists, so that no Ctrl-C or SIGTERM goes unseen.
    const SignalWatch interrupt({SIGINT, SIGTERM});
    if (interrupt.fd() < 0) {
        print_unknown("could not watch for Ctrl-C: " + os_error_text(errno), format);
        return {unknown_exit_status, false};
    }

    const std::size_t concurrency = fitting_concurrency(request.concurrency, selected->size());
    set_resolver_worker_limit(fleet::FLEET_RESOLVER_WORKER_LIMIT);
    const bool progress = ::isatty(STDERR_FILENO) == 1;
    std::stop_source stop;
    const auto printer = std::make_shared<FleetPrinter>(request.output, selected->size(),
                                                        longest_name(*fleet, *selected), progress, stop);
    if (!printer->begin()) return {unknown_exit_status, false};
    // The sink keeps the printer alive for workers left running after a
    // second Ctrl-C, until the process ends.
    auto run = fleet::FleetRun::start(fleet, *selected, concurrency, stop,
                                      [printer](fleet::TargetOutcome outcome) { printer->add(std::move(outcome)); });
    if (!run) {
        print_unknown("could not start the probes: " + os_error_text(run.error()), format);
        return {unknown_exit_status, false};
    }

    const RunEnd end = wait_for_run(**run, interrupt, *printer, stop, progress, longest_deadline(*fleet, *selected));
    if (end.abandoned) {
        (*run)->abandon();
        return {printer->finish(end.stopped_by), true};
    }
    run->reset();  // every worker has ended: joined here
    return {printer->finish(end.stopped_by), false};
}

}  // namespace quorlin::command
