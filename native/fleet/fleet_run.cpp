#include "fleet/fleet_run.hpp"

#include "fleet/target_probe.hpp"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <stop_token>
#include <system_error>
#include <utility>

namespace quorlin::fleet {

namespace {

constexpr char worker_thread_name[] = "quorlin-fleet";
static_assert(sizeof worker_thread_name - 1 <= 15);

std::vector<Turn> turns_of(const Fleet& fleet, const std::vector<std::uint32_t>& targets) {
    std::vector<Turn> turns;
    turns.reserve(targets.size());
    for (std::uint32_t index : targets) turns.push_back({index, fleet.targets()[index].key_identity});
    return turns;
}

}  // namespace

// What the workers share with the run; the last owner releases it, which
// after abandon() is a worker.
struct FleetRun::Shared {
    Shared(std::shared_ptr<const Fleet> fleet_in, std::vector<Turn> turns, std::stop_source stop_in, OutcomeSink sink_in,
           int done)
        : fleet(std::move(fleet_in)),
          schedule(std::move(turns), fleet->key_identity_count()),
          sink(std::move(sink_in)),
          stop(std::move(stop_in)),
          done_fd(done) {}

    std::shared_ptr<const Fleet> fleet;
    KeySchedule schedule;
    OutcomeSink sink;
    std::stop_source stop;
    OwnedFd done_fd;  // eventfd
    std::atomic<std::size_t> workers_left{0};

    // Called once per worker that ends, or was never started.
    void workers_ended(std::size_t count) noexcept {
        if (workers_left.fetch_sub(count) == count) {
            const std::uint64_t one = 1;
            // An eventfd takes an 8-byte write unless its counter would
            // overflow, which one write per run cannot make it; the waiter's
            // deadline bounds the wait all the same.
            if (::write(done_fd.get(), &one, sizeof one) != sizeof one) return;
        }
    }

    void work() {
        pthread_setname_np(pthread_self(), worker_thread_name);
        while (const std::optional<Turn> turn = schedule.next(stop.get_token())) {
            const FleetTarget& target = fleet->targets()[turn->target];
            auto report = probe_target(target);
            // The key identity is free as soon as the probe ends, whatever
            // the output does with the outcome.
            schedule.finished(*turn);
            sink(TargetOutcome{&target, std::move(report)});
        }
        workers_ended(1);
    }
};

std::expected<std::unique_ptr<FleetRun>, int> FleetRun::start(std::shared_ptr<const Fleet> fleet,
                                                             const std::vector<std::uint32_t>& targets,
                                                             std::size_t concurrency, std::stop_source stop,
                                                             OutcomeSink sink) {
    const int done = ::eventfd(0, EFD_CLOEXEC);
    if (done < 0) return std::unexpected(errno);
    std::vector<Turn> turns = turns_of(*fleet, targets);
    auto shared = std::make_shared<Shared>(std::move(fleet), std::move(turns), std::move(stop), std::move(sink), done);
    const std::size_t wanted = std::max<std::size_t>(1, std::min(concurrency, targets.size()));
    shared->workers_left = wanted;
    std::unique_ptr<FleetRun> run(new FleetRun(shared));
    run->workers_.reserve(wanted);
    for (std::size_t i = 0; i < wanted; ++i) {
        try {
            run->workers_.emplace_back([shared] { shared->work(); });
        } catch (const std::system_error& error) {
            shared->workers_ended(wanted - i);
            if (i == 0) return std::unexpected(error.code().value());
            break;
        }
    }
    return run;
}

FleetRun::~FleetRun() {
    stop();
    for (std::thread& worker : workers_) {
        if (worker.joinable()) worker.join();
    }
}

int FleetRun::done_fd() const noexcept { return shared_->done_fd.get(); }

void FleetRun::stop() noexcept { shared_->stop.request_stop(); }

std::size_t FleetRun::running() const { return shared_->schedule.running(); }

void FleetRun::abandon() noexcept {
    for (std::thread& worker : workers_) worker.detach();
    workers_.clear();
}

}  // namespace quorlin::fleet
