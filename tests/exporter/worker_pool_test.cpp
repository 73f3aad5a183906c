// The worker pool with real threads: lines per key take turns, and a full
// line takes no more.
#include "exporter/worker_pool.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <vector>

namespace quorlin::exporter {
namespace {

using namespace std::chrono_literals;

// A job that holds its worker until released.
struct Gate {
    std::promise<void> opened;
    std::shared_future<void> open = opened.get_future().share();
};

TEST(WorkerPool, LinesTakeTurnsAndAFullLineTakesNoMore) {
    const Instant far = Clock::now() + 60s;
    std::mutex mutex;
    std::condition_variable recorded;
    std::vector<std::string> order;
    const auto record = [&](std::string name) {
        return [&, name] {
            {
                const std::lock_guard lock(mutex);
                order.push_back(name);
            }
            recorded.notify_all();
        };
    };
    Gate gate;
    std::promise<void> started;
    {
        WorkerPool pool({1, 3});
        ASSERT_TRUE(pool.submit_as("busy", far, [&] { started.set_value(); gate.open.wait(); }, [](bool) {}));
        started.get_future().wait();
        for (const char* job : {"flood 1", "flood 2", "flood 3"}) {
            ASSERT_TRUE(pool.submit_as("flood", far, record(job), [](bool) {}));
        }
        bool refused = false;
        EXPECT_FALSE(pool.submit_as("flood", far, record("flood 4"), [&](bool) { refused = true; }));
        ASSERT_TRUE(pool.submit_as("other", far, record("other"), [](bool) {}));
        pool.submit(far, record("shared"), [](bool) {});
        gate.opened.set_value();
        std::unique_lock lock(mutex);
        ASSERT_TRUE(recorded.wait_for(lock, 10s, [&] { return order.size() == 5; }));
        EXPECT_FALSE(refused);
    }
    // One from each line in turn: the flood's line does not hold the others up.
    EXPECT_EQ(order, (std::vector<std::string>{"flood 1", "other", "shared", "flood 2", "flood 3"}));
}

}  // namespace
}  // namespace quorlin::exporter
