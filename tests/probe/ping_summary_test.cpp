#include "probe/ping_summary.hpp"

#include <gtest/gtest.h>

namespace quorlin {
namespace {

using namespace std::chrono_literals;

PhaseResult echo(std::string target, PhaseStatus status, Clock::duration elapsed, std::uint64_t sent_bytes = 64) {
    PhaseResult phase;
    phase.phase = std::string(phase_name::ping);
    phase.target = std::move(target);
    phase.status = status;
    phase.elapsed = elapsed;
    phase.sent_bytes = sent_bytes;
    return phase;
}

// Echoes count as sent only when they went out; round trips only when answered.
TEST(PingSummaries, PerTargetInFirstAppearanceOrder) {
    ProbeReport report("e", "k");
    report.phases = {echo("10.0.0.2", PhaseStatus::passed, 2ms), echo("10.0.0.1", PhaseStatus::skipped, 0ms, 0),
                     echo("10.0.0.2", PhaseStatus::unconfirmed, 9ms), echo("10.0.0.2", PhaseStatus::passed, 4ms),
                     echo("10.0.0.2", PhaseStatus::unconfirmed, 0ms, 0)};
    const auto summaries = ping_summaries(report);
    ASSERT_EQ(summaries.size(), 2u);
    const PingSummary& two = summaries[0];
    EXPECT_EQ((std::pair{two.target, two.sent}), (std::pair{std::string("10.0.0.2"), std::size_t{3}}));
    EXPECT_EQ(two.received, 2u);
    EXPECT_NEAR(two.loss_percent().value_or(-1), 100.0 / 3, 1e-9);
    EXPECT_EQ(two.rtt_min, Clock::duration(2ms));
    EXPECT_EQ(two.rtt_avg, Clock::duration(3ms));
    EXPECT_EQ(two.rtt_max, Clock::duration(4ms));
    const PingSummary& one = summaries[1];
    EXPECT_EQ((std::pair{one.sent, one.received}), (std::pair{std::size_t{0}, std::size_t{0}}));
    EXPECT_FALSE(one.loss_percent() || one.rtt_avg) << "nothing sent: no loss and no round trip to tell";
}

}  // namespace
}  // namespace quorlin
