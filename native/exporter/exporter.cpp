#include "exporter/exporter.hpp"

#include "common/os_error.hpp"
#include "common/owned_fd.hpp"
#include "exporter/http_server.hpp"
#include "input/timeout.hpp"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <utility>

namespace quorlin::exporter {

namespace {

// The engine ends a probe by its deadline; this only bounds the wait should that promise break.
constexpr std::chrono::seconds probe_overrun_grace{5};

sigset_t exporter_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGHUP, SIGTERM, SIGINT}) sigaddset(&set, signal);
    return set;
}

// The next of the exporter's signals; 0 when reading the signalfd failed.
int next_signal(int fd) {
    signalfd_siginfo info{};
    for (;;) {
        const ssize_t got = ::read(fd, &info, sizeof info);
        if (got == static_cast<ssize_t>(sizeof info)) return static_cast<int>(info.ssi_signo);
        if (got < 0 && errno == EINTR) continue;
        return 0;
    }
}

// Probes hold a worker each; the rest answer /metrics and the pages, and
// the requests waiting for a probe slot.
std::size_t worker_threads(std::size_t max_concurrent) { return 2 * max_concurrent + 4; }

std::string targets_text(const FleetSource& source) {
    const std::size_t count = source.current()->fleet.targets().size();
    return std::to_string(count) + (count == 1 ? " target" : " targets");
}

}  // namespace

void block_exporter_signals() {
    const sigset_t set = exporter_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

std::expected<void, std::string> run_exporter(const ExporterSettings& settings, const LogSink& log) {
    const sigset_t set = exporter_signals();
    const OwnedFd signals(::signalfd(-1, &set, SFD_CLOEXEC));
    if (signals.get() < 0) return std::unexpected("could not watch for signals: " + os_error_text(errno));

    ExporterMetrics metrics;
    FleetSource fleet(settings.fleet_file, metrics);
    if (auto read = fleet.reload(); !read) return std::unexpected(std::move(read.error()));
    ProbeSlots slots(settings.max_concurrent);
    const RequestHandler handler(HandlerParts{fleet, slots, metrics, log, settings.timeout_offset});
    auto server = HttpServer::start(ServerSettings{settings.listen, worker_threads(settings.max_concurrent)},
                                    handler, log);
    if (!server) return std::unexpected(std::move(server.error()));
    log("listening on " + (*server)->address() + ", serving " + targets_text(fleet));

    for (;;) {
        const int signal = next_signal(signals.get());
        if (signal == SIGHUP) {
            if (auto read = fleet.reload(); read) {
                log("reloaded " + settings.fleet_file + ": " + targets_text(fleet));
            } else {
                log("reload failed, the previous fleet stays in use: " + read.error());
            }
            continue;
        }
        if (signal == 0) log("could not read a signal: " + os_error_text(errno));
        log("stopping: running probes end by their deadlines");
        break;
    }
    // New probes and the waiters for a slot are refused from now on; the
    // running probes end by their deadlines and are answered. Only then does
    // the server stop: civetweb sends nothing more once it is stopping.
    slots.close();
    const Instant longest_probe_end =
        Clock::now() + std::chrono::milliseconds(input::max_timeout_ms) + probe_overrun_grace;
    if (!(*server)->wait_until_idle(longest_probe_end)) log("a probe did not end by its deadline; stopping anyway");
    server->reset();
    return {};
}

}  // namespace quorlin::exporter
