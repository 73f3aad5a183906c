#include "command/interruptible_run.hpp"

#include "common/os_error.hpp"
#include "common/owned_fd.hpp"
#include "common/signal_watch.hpp"
#include "probe/probe.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

namespace quorlin::command {

namespace {

// What the worker and the waiting thread share. The worker keeps it alive
// after an interrupt, until the process ends.
struct ProbeTask {
    explicit ProbeTask(ProbePlan plan_in, int done_fd) : plan(std::move(plan_in)), done(done_fd) {}
    ProbePlan plan;
    OwnedFd done;  // eventfd: the report is ready
    std::optional<ProbeReport> report;
};

int wait_limit_ms(Clock::duration left) {
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::clamp<std::int64_t>(ms, 0, 1'000'000'000));
}

}  // namespace

std::string_view stopped_by(int signal) noexcept { return signal == SIGTERM ? "terminated" : "interrupted"; }

void prepare_signals() {
    block_signals({SIGINT, SIGTERM});
    std::signal(SIGPIPE, SIG_IGN);
}

std::expected<ProbeReport, RunAbandoned> run_interruptible(ProbePlan plan) {
    const SignalWatch interrupt({SIGINT, SIGTERM});
    if (interrupt.fd() < 0) return std::unexpected(RunAbandoned{"could not watch for Ctrl-C: " + os_error_text(errno)});
    const int done_fd = ::eventfd(0, EFD_CLOEXEC);
    if (done_fd < 0) return std::unexpected(RunAbandoned{"could not start the probe: " + os_error_text(errno)});

    const Instant wait_end =
        checked_add(Clock::now(), plan.overall_deadline).value_or(Instant::max() - probe_overrun_grace) + probe_overrun_grace;
    auto task = std::make_shared<ProbeTask>(std::move(plan), done_fd);
    std::thread worker;
    try {
        worker = std::thread([task] {
            task->report = probe(std::move(task->plan), {});
            const std::uint64_t one = 1;
            // See fleet_run.cpp: this eventfd write cannot fail, and the
            // waiter's deadline bounds the wait all the same.
            if (::write(task->done.get(), &one, sizeof one) != sizeof one) return;
        });
    } catch (const std::system_error& error) {
        return std::unexpected(RunAbandoned{"could not start the probe: " + os_error_text(error.code().value())});
    }

    pollfd watched[2] = {{task->done.get(), POLLIN, 0}, {interrupt.fd(), POLLIN, 0}};
    for (;;) {
        const int ready = ::poll(watched, 2, wait_limit_ms(wait_end - Clock::now()));
        const int error = errno;
        if (ready < 0 && error == EINTR) continue;
        if (ready > 0 && (watched[0].revents & POLLIN) != 0) {
            worker.join();
            return std::move(*task->report);
        }
        worker.detach();
        if (ready > 0) return std::unexpected(RunAbandoned{std::string(stopped_by(interrupt.next()))});
        if (ready == 0) return std::unexpected(RunAbandoned{"the probe did not end by its deadline"});
        return std::unexpected(RunAbandoned{"could not wait for the probe: " + os_error_text(error)});
    }
}

}  // namespace quorlin::command
