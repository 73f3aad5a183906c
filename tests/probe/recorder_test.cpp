#include "probe/recorder.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace quorlin {
namespace {

using namespace std::chrono_literals;

constexpr std::uint64_t kMax = UINT64_MAX;

struct RecordingSink {
    std::vector<ProbeEvent> events;
    EventSink sink() {
        return [this](ProbeEvent event) { events.push_back(std::move(event)); };
    }
};

ProbeReport fresh_report() { return ProbeReport("peer.test:51820", "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA="); }

TEST(Deadline, EarlierOfOverallAndPhaseEnd) {
    const Instant start = Clock::now();
    struct Case {
        const char* name;
        Instant overall;
        Duration timeout;
        Instant expected;
    };
    const Case cases[] = {
        {"phase ends first", start + 10s, Duration::from_millis(2000), start + 2s},
        {"overall ends first", start + 1s, Duration::from_millis(2000), start + 1s},
        {"equal", start + 2s, Duration::from_millis(2000), start + 2s},
        {"nanosecond precision", start + 1s, Duration{0, 999'999'999}, start + 999'999'999ns},
        {"zero timeout", start + 1s, Duration{}, start},
        {"overall already passed", start - 1s, Duration::from_millis(5), start - 1s},
        {"timeout overflows the clock", start + 1s, Duration{kMax, 999'999'999}, start + 1s},
        {"timeout from u64 millis overflows", start + 1s, Duration::from_millis(kMax), start + 1s},
        {"overall at the clock's end", Instant::max(), Duration::from_millis(5), start + 5ms},
    };
    for (const auto& c : cases) EXPECT_EQ(deadline(c.overall, start, c.timeout), c.expected) << c.name;

    // A phase start so late that adding any span overflows: the overall deadline.
    const Instant late = Instant::max() - 1ns;
    EXPECT_EQ(deadline(Instant::max(), late, Duration{0, 2}), Instant::max());
    EXPECT_EQ(deadline(Instant::max(), late, Duration{0, 1}), Instant::max());
}

TEST(CheckPhase, MapsEachOutcome) {
    using Limit = ExchangeOutcome::Limit;
    struct Case {
        ExchangeOutcome outcome;
        PhaseStatus status;
        std::string detail;
    };
    const Case cases[] = {
        {ExchangeOutcome::matched({{192, 0, 2, 1}, {192, 0, 2, 2}}, 96, 128), PhaseStatus::passed,
         "valid matching reply"},
        {ExchangeOutcome::no_match(Limit::check_deadline, 64, 32), PhaseStatus::unconfirmed,
         "no valid matching reply before the check deadline"},
        // Cut short, or never sent: the target is not blamed for the limit that ended it.
        {ExchangeOutcome::no_match(Limit::overall_deadline, 64, 0), PhaseStatus::unconfirmed,
         "no valid matching reply before the overall deadline"},
        {ExchangeOutcome::no_match(Limit::overall_deadline, 0, 0), PhaseStatus::unconfirmed,
         "not sent: the overall deadline had passed"},
        {ExchangeOutcome::no_match(Limit::check_deadline, 0, 0), PhaseStatus::unconfirmed,
         "not sent: the check deadline had passed"},
        {ExchangeOutcome::no_match(Limit::session_lifetime, 64, 0), PhaseStatus::unconfirmed,
         "no valid matching reply before the WireGuard session expired"},
        {ExchangeOutcome::no_match(Limit::session_lifetime, 0, 0), PhaseStatus::unconfirmed,
         "not sent: the WireGuard session had expired"},
        {ExchangeOutcome::error("could not send encrypted packet: Connection refused (os error 111)", kMax, 1),
         PhaseStatus::error, "could not send encrypted packet: Connection refused (os error 111)"},
    };
    for (const auto& c : cases) {
        const PhaseResult result = check_phase("dns", "name.test via 10.0.0.53", Clock::now(), c.outcome);
        EXPECT_EQ(result.phase, "dns");
        EXPECT_EQ(result.target, "name.test via 10.0.0.53");
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.detail, c.detail);
        EXPECT_EQ(result.sent_bytes, c.outcome.sent_bytes);
        EXPECT_EQ(result.received_bytes, c.outcome.received_bytes);
    }
}

TEST(PhaseBuilders, FieldsAndDurationFromThePhaseStart) {
    const Instant now = Clock::now();
    PhaseResult failed = phase_error("endpoint_resolution", std::nullopt, now - 1500ms, "no such host");
    EXPECT_GE(failed.duration_ms, 1500u);
    EXPECT_EQ(failed.duration_ms, millis(failed.elapsed));
    failed.duration_ms = 0;
    failed.elapsed = {};
    EXPECT_EQ(failed, (PhaseResult{"endpoint_resolution", std::nullopt, PhaseStatus::error, 0, 0, 0, "no such host"}));

    PhaseResult passed = phase_passed("handshake", "[::1]:51820", now - 2s, 148, 92, "authenticated");
    EXPECT_GE(passed.duration_ms, 2000u);
    passed.duration_ms = 0;
    passed.elapsed = {};
    EXPECT_EQ(passed, (PhaseResult{"handshake", "[::1]:51820", PhaseStatus::passed, 0, 148, 92, "authenticated"}));

    // A phase start that lies ahead (never on a monotonic clock, but harmless): 0.
    EXPECT_EQ(phase_error("socket", std::nullopt, now + 1h, "x").duration_ms, 0u);
    EXPECT_EQ(check_phase("ping", "10.0.0.1", now + 1h, ExchangeOutcome::no_match(ExchangeOutcome::Limit::check_deadline, 0, 0)).duration_ms, 0u);
}

TEST(PushPhase, TotalsEventThenAppend) {
    ProbeReport report = fresh_report();
    RecordingSink recorded;
    std::size_t phases_seen_by_sink = kMax;
    std::uint64_t sent_seen_by_sink = 0;
    const EventSink sink = [&](ProbeEvent event) {
        // The totals are updated before the event, the list after it.
        phases_seen_by_sink = report.phases.size();
        sent_seen_by_sink = report.sent_bytes;
        recorded.events.push_back(std::move(event));
    };
    const Instant run_start = Clock::now() - 3s;

    PhaseResult saturated{"handshake", "192.0.2.7:51820", PhaseStatus::unconfirmed, kMax, 148, 0, "silence"};
    push_phase(report, run_start, sink, saturated);

    ASSERT_EQ(report.phases.size(), 1u);
    EXPECT_EQ(report.phases[0], saturated);  // recorded as is, saturated duration included
    EXPECT_EQ(report.sent_bytes, 148u);
    EXPECT_EQ(report.received_bytes, 0u);
    EXPECT_EQ(phases_seen_by_sink, 0u);
    EXPECT_EQ(sent_seen_by_sink, 148u);

    ASSERT_EQ(recorded.events.size(), 1u);
    const ProbeEvent& event = recorded.events[0];
    EXPECT_EQ(event.kind, ProbeEventKind::finished);
    EXPECT_EQ(event.phase, "handshake");
    EXPECT_EQ(event.target, "192.0.2.7:51820");
    EXPECT_EQ(event.result, saturated);
    EXPECT_GE(event.elapsed_ms, 3000u);
}

TEST(PushSkipped, FixedFieldsAndNoEffectOnTotals) {
    ProbeReport report = fresh_report();
    report.sent_bytes = 148;
    RecordingSink recorded;
    push_skipped(report, Clock::now(), recorded.sink(), "dns", "name.test");

    const PhaseResult expected{"dns", "name.test", PhaseStatus::skipped, 0, 0, 0,
                               "skipped because authentication was not confirmed"};
    ASSERT_EQ(report.phases.size(), 1u);
    EXPECT_EQ(report.phases[0], expected);
    EXPECT_EQ(report.sent_bytes, 148u);
    EXPECT_EQ(report.received_bytes, 0u);
    ASSERT_EQ(recorded.events.size(), 1u);  // no started event
    EXPECT_EQ(recorded.events[0].kind, ProbeEventKind::finished);
    EXPECT_EQ(recorded.events[0].result, expected);
}

}  // namespace
}  // namespace quorlin
