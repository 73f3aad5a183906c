// The key schedule driven by worker threads of the test's own.
#include "fleet/key_schedule.hpp"

#include "common/clock.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace quorlin::fleet {
namespace {

using namespace std::chrono_literals;

TEST(KeySchedule, SharedKeysNeverOverlapAndKeepTheirOrder) {
    // Three identities; identity 0 has three turns, identity 1 two.
    const std::vector<Turn> turns = {{0, 0}, {1, 1}, {2, 0}, {3, 2}, {4, 0}, {5, 1}};
    KeySchedule schedule(turns, 3);
    struct Ran {
        Turn turn;
        Instant start;
        Instant end;
    };
    std::mutex mutex;
    std::vector<Ran> ran;
    const std::stop_source never;
    {
        // (A jthread would ask its worker to stop as it is joined.)
        std::vector<std::thread> workers;
        for (int i = 0; i < 4; ++i) {
            workers.emplace_back([&] {
                while (const auto turn = schedule.next(never.get_token())) {
                    const Instant start = Clock::now();
                    std::this_thread::sleep_for(5ms);
                    const Instant end = Clock::now();
                    schedule.finished(*turn);
                    std::lock_guard lock(mutex);
                    ran.push_back({*turn, start, end});
                }
            });
        }
        for (std::thread& worker : workers) worker.join();
    }
    ASSERT_EQ(ran.size(), turns.size());
    std::map<std::uint32_t, std::vector<Ran>> by_identity;
    for (const Ran& each : ran) by_identity[each.turn.key_identity].push_back(each);
    for (auto& [identity, runs] : by_identity) {
        std::ranges::sort(runs, {}, &Ran::start);
        // Exact, not lucky: `start` is read after next() returned, `end`
        // before finished() was called.
        for (std::size_t i = 1; i < runs.size(); ++i) {
            EXPECT_GE(runs[i].start, runs[i - 1].end) << "identity " << identity << " ran twice at once";
        }
        EXPECT_TRUE(std::ranges::is_sorted(runs, {}, [](const Ran& r) { return r.turn.target; }))
            << "identity " << identity << " out of order";
    }
    EXPECT_EQ(schedule.running(), 0u);
}

TEST(KeySchedule, AStopEndsTheWait) {
    KeySchedule schedule({{0, 0}, {1, 0}}, 1);
    std::stop_source never;
    const auto first = schedule.next(never.get_token());
    ASSERT_TRUE(first);
    // The second turn waits for the first to finish, which it never does here.
    std::optional<Turn> second = Turn{};
    std::jthread waiter([&](std::stop_token stop) { second = schedule.next(stop); });
    std::this_thread::sleep_for(20ms);
    waiter.request_stop();
    waiter.join();
    EXPECT_FALSE(second);
    EXPECT_EQ(schedule.running(), 1u);
}

}  // namespace
}  // namespace quorlin::fleet
