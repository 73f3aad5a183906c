#include "command/fleet_command.hpp"

#include "command/fleet_printer.hpp"
#include "command/fd_writes.hpp"
#include "common/os_error.hpp"
#include "common/owned_fd.hpp"
#include "fleet/fleet_file.hpp"
#include "fleet/fleet_run.hpp"

#include <poll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <optional>
#include <utility>

namespace quorlin::command {

namespace {

// The engine ends every probe by its deadline; this only bounds the wait
// after a stop should that promise ever break.
constexpr std::chrono::seconds overrun_grace{5};
constexpr std::chrono::milliseconds progress_tick{250};

// The targets to probe, in the fleet file's order: all, or those named.
std::expected<std::vector<std::uint32_t>, std::string> selected_targets(const fleet::Fleet& fleet,
                                                                        const FleetRequest& request) {
    const auto targets = fleet.targets();
    std::vector<bool> chosen(targets.size(), request.targets.empty());
    for (const std::string& name : request.targets) {
        const fleet::FleetTarget* target = fleet.find(name);
        if (target == nullptr) return std::unexpected("no target \"" + name + "\" in " + request.fleet_file);
        chosen[static_cast<std::size_t>(target - targets.data())] = true;
    }
    std::vector<std::uint32_t> selected;
    for (std::uint32_t index = 0; index < targets.size(); ++index) {
        if (chosen[index]) selected.push_back(index);
    }
    return selected;
}

// Each probe holds a UDP socket, and a descriptor while its files are read.
// The open-file limit is raised to fit the concurrency where the hard limit
// allows; where it does not, fewer probes run at once.
std::size_t fitting_concurrency(std::size_t wanted) {
    constexpr rlim_t per_probe = 2;
    constexpr rlim_t reserve = 64;  // standard streams, the resolver, the wait
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return wanted;
    const rlim_t needed = static_cast<rlim_t>(wanted) * per_probe + reserve;
    if (limit.rlim_cur >= needed) return wanted;
    rlimit raised = limit;
    raised.rlim_cur = std::min(needed, limit.rlim_max);
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    if (limit.rlim_cur >= needed) return wanted;
    const std::size_t fitting =
        limit.rlim_cur > reserve + per_probe ? static_cast<std::size_t>((limit.rlim_cur - reserve) / per_probe) : 1;
    print_error("--concurrency " + std::to_string(wanted) + " lowered to " + std::to_string(fitting) +
                ": the open-file limit is " + std::to_string(limit.rlim_cur));
    return fitting;
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

enum class RunEnd : std::uint8_t { completed, interrupted, abandoned };

// Waits for the run to end. The first Ctrl-C (or a failed write) stops it
// and waits for the running probes' deadlines; a second Ctrl-C ends the
// wait at once.
RunEnd wait_for_run(fleet::FleetRun& run, int interrupt_fd, FleetPrinter& printer, std::stop_source& stop,
                    bool progress, std::chrono::milliseconds longest) {
    bool interrupted = false;
    std::optional<Instant> give_up;
    for (;;) {
        if (!give_up && stop.stop_requested()) give_up = Clock::now() + longest + overrun_grace;
        pollfd watched[2] = {{run.done_fd(), POLLIN, 0}, {interrupt_fd, POLLIN, 0}};
        const int ready = ::poll(watched, 2, poll_timeout_ms(progress, give_up));
        if (ready < 0 && errno != EINTR) {
            printer.notice("could not wait for the probes: " + os_error_text(errno));
            return RunEnd::abandoned;
        }
        if ((watched[0].revents & POLLIN) != 0) return interrupted ? RunEnd::interrupted : RunEnd::completed;
        if ((watched[1].revents & POLLIN) != 0) {
            signalfd_siginfo received{};
            (void)::read(interrupt_fd, &received, sizeof received);
            if (interrupted) {
                printer.notice("interrupted again: " + std::to_string(run.running()) + " probes left running");
                return RunEnd::abandoned;
            }
            interrupted = true;
            stop.request_stop();
            const std::size_t running = run.running();
            printer.notice(running == 0 ? std::string("interrupted")
                                        : "interrupted: waiting for " + std::to_string(running) +
                                              " running probes to end by their deadlines (Ctrl-C again to stop now)");
        }
        if (give_up && Clock::now() >= *give_up) {
            printer.notice("the running probes did not end by their deadlines");
            return RunEnd::abandoned;
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
    const auto selected = selected_targets(*fleet, request);
    if (!selected) {
        print_unknown(selected.error(), format);
        return {unknown_exit_status, false};
    }

    // Watched before any worker exists, so that no Ctrl-C goes unseen.
    sigset_t interrupt_signals;
    sigemptyset(&interrupt_signals);
    sigaddset(&interrupt_signals, SIGINT);
    const OwnedFd interrupt(::signalfd(-1, &interrupt_signals, SFD_CLOEXEC));
    if (interrupt.get() < 0) {
        print_unknown("could not watch for Ctrl-C: " + os_error_text(errno), format);
        return {unknown_exit_status, false};
    }

    const std::size_t concurrency = fitting_concurrency(std::min(request.concurrency, selected->size()));
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

    const RunEnd end = wait_for_run(**run, interrupt.get(), *printer, stop, progress, longest_deadline(*fleet, *selected));
    if (end == RunEnd::abandoned) {
        (*run)->abandon();
        return {printer->finish(true), true};
    }
    run->reset();  // every worker has ended: joined here
    return {printer->finish(end == RunEnd::interrupted), false};
}

}  // namespace quorlin::command
