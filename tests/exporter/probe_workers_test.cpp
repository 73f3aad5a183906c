// The worker pool's promise: exactly one of run and refuse per job; a job in
// line is refused at its own moment, never before; closing refuses what is in
// line at once while a running job goes on to its end.
#include "exporter/probe_workers.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <optional>

namespace quorlin::exporter {
namespace {

using namespace std::chrono_literals;

// What became of one job: run, or refused (and why, and when).
struct Outcome {
    std::atomic<int> runs{0};
    std::atomic<int> refusals{0};
    std::optional<bool> stopping;
    Instant refused_at{};
    std::promise<void> done;

    ProbeWorkers::Run run() {
        return [this] { ++runs; done.set_value(); };
    }
    ProbeWorkers::Refuse refuse() {
        return [this](bool why) {
            refused_at = Clock::now();
            stopping = why;
            ++refusals;
            done.set_value();
        };
    }
    void wait() { ASSERT_EQ(done.get_future().wait_for(30s), std::future_status::ready); }
};

TEST(ProbeWorkers, FreeWorkerRunsBusyWorkersRefuseAtTheJobsMoment) {
    ProbeWorkers workers(1);
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    Outcome busy;
    workers.submit(Clock::now() + 30s, [&] { released.wait(); busy.run()(); }, busy.refuse());

    Outcome waiting;
    const Instant until = Clock::now() + 50ms;
    workers.submit(until, waiting.run(), waiting.refuse());
    waiting.wait();
    EXPECT_EQ(waiting.runs, 0);
    EXPECT_EQ(waiting.stopping, std::optional<bool>(false));
    EXPECT_GE(waiting.refused_at, until);

    release.set_value();
    busy.wait();
    EXPECT_EQ(busy.runs, 1);
    EXPECT_EQ(busy.refusals, 0);
}

TEST(ProbeWorkers, CloseRefusesTheLineAndLetsTheRunningJobEnd) {
    ProbeWorkers workers(1);
    std::promise<void> started;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    Outcome running;
    workers.submit(Clock::now() + 30s, [&] { started.set_value(); released.wait(); running.run()(); },
                   running.refuse());
    ASSERT_EQ(started.get_future().wait_for(30s), std::future_status::ready);

    Outcome in_line;
    workers.submit(Clock::now() + 30s, in_line.run(), in_line.refuse());
    workers.close();
    in_line.wait();
    EXPECT_EQ(in_line.stopping, std::optional<bool>(true));

    Outcome after;  // refused before submit returns
    workers.submit(Clock::now() + 30s, after.run(), after.refuse());
    EXPECT_EQ(after.refusals, 1);
    EXPECT_EQ(after.stopping, std::optional<bool>(true));

    release.set_value();
    workers.join();
    EXPECT_EQ(running.runs, 1);
    EXPECT_EQ(running.refusals + in_line.runs + after.runs, 0);
}

}  // namespace
}  // namespace quorlin::exporter
