// The exporter's pure parts, without a server or root: what a request asks
// for, the scrape timeout it carries, the probe's time limit, and
// probe_success from the report.
#include "exporter/probe_metrics.hpp"
#include "exporter/request.hpp"
#include "exporter/time_limit.hpp"
#include "probe/report_builders.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

namespace quorlin::exporter {
namespace {

using namespace std::chrono_literals;
using std::chrono::nanoseconds;

TEST(ExporterRequest, RoutesAndRefusals) {
    const std::string not_found =
        "not found: the exporter serves /probe?target=NAME, /metrics, /targets, / and /-/healthy";
    const struct {
        std::string_view method, path, query;
        Endpoint endpoint;
        std::string target;  // /probe: the name; a refusal: its reason
        int status;          // 0: routed
    } cases[] = {
        {"GET", "/", "x=1", Endpoint::index, "", 0},
        {"GET", "/metrics", "", Endpoint::metrics, "", 0},
        {"GET", "/targets", "", Endpoint::targets, "", 0},
        {"GET", "/-/healthy", "", Endpoint::healthy, "", 0},
        {"GET", "/probe", "target=fra-1", Endpoint::probe, "fra-1", 0},
        {"GET", "/probe", "&target=a%2Fb%20c&&", Endpoint::probe, "a/b c", 0},
        {"GET", "/probe", "target=a+b", Endpoint::probe, "a+b", 0},
        {"POST", "/metrics", "", {}, "only GET is served", 405},
        {"GET", "/probes", "", {}, not_found, 404},
        {"GET", "/probe", "", {}, "missing target: ask for /probe?target=NAME", 400},
        {"GET", "/probe", "target=", {}, "missing target: ask for /probe?target=NAME", 400},
        {"GET", "/probe", "target=a&module=x", {}, "unknown query parameter \"module\": /probe takes only target=NAME", 400},
        {"GET", "/probe", "target=a&%2Fetc=x", {}, "unknown query parameter: /probe takes only target=NAME", 400},
        {"GET", "/probe", "target=a&target=a", {}, "target given more than once", 400},
        {"GET", "/probe", "target=%zz", {}, "malformed query: '%' must start a %XX escape", 400},
        {"GET", "/probe", "target=%4", {}, "malformed query: '%' must start a %XX escape", 400},
    };
    for (const auto& c : cases) {
        const auto route = route_request(c.method, c.path, c.query);
        if (c.status == 0) {
            ASSERT_TRUE(route) << c.path << "?" << c.query;
            EXPECT_EQ(route->endpoint, c.endpoint) << c.path;
            EXPECT_EQ(route->target, c.target) << c.query;
        } else {
            ASSERT_FALSE(route) << c.path << "?" << c.query;
            EXPECT_EQ(route.error().status, c.status) << c.query;
            EXPECT_EQ(route.error().reason, c.target) << c.query;
        }
    }
    EXPECT_EQ(quoted_if_plain(std::string(129, 'a')), "");
}

TEST(ExporterRequest, ScrapeTimeoutHeader) {
    const struct {
        std::string_view value;
        std::optional<nanoseconds> expected;
    } cases[] = {
        {"10", 10s}, {" 9.5\t", 9500ms}, {"0.25", 250ms}, {"100000", 86400s},
        {"", std::nullopt}, {"0", std::nullopt}, {"-1", std::nullopt}, {"1e3", std::nullopt},
        {"inf", std::nullopt}, {"soon", std::nullopt}, {"1.2.3", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto parsed = parse_scrape_timeout(c.value);
        ASSERT_EQ(parsed.has_value(), c.expected.has_value()) << c.value;
        if (parsed) {
            EXPECT_EQ(*parsed, *c.expected) << c.value;
        } else {
            EXPECT_EQ(parsed.error().reason, "X-Prometheus-Scrape-Timeout-Seconds must be a positive number of seconds");
        }
    }
}

// The probe's limit is the smaller of the target's deadline and the scrape
// timeout less the offset: a probe that ignored the offset would answer
// after Prometheus has given up.
TEST(ExporterTimeLimit, ScrapeTimeoutLessTheOffset) {
    const Instant arrival = Clock::now();
    const struct {
        std::int64_t deadline_ms;
        std::optional<nanoseconds> scrape_timeout;
        nanoseconds offset;
        std::optional<nanoseconds> wait;       // nothing: refused
        std::optional<nanoseconds> scrape_end;
    } cases[] = {
        {60'000, 10s, 500ms, 9500ms, 9500ms},
        {2'000, 10s, 500ms, 2s, 9500ms},
        {60'000, std::nullopt, 500ms, 60s, std::nullopt},
        {60'000, 1501ms, 1500ms, 1ms, 1ms},
        {60'000, 1500ms, 1500ms, std::nullopt, std::nullopt},
        {60'000, 500ms, 1s, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        const auto limit = probe_time_limit(arrival, c.deadline_ms, c.scrape_timeout, c.offset);
        ASSERT_EQ(limit.has_value(), c.wait.has_value()) << c.deadline_ms;
        if (!limit) {
            EXPECT_EQ(limit.error().status, 400);
            continue;
        }
        EXPECT_EQ(limit->wait_until - arrival, *c.wait);
        EXPECT_EQ(limit->scrape_end.has_value(), c.scrape_end.has_value());
        if (limit->scrape_end) {
            EXPECT_EQ(*limit->scrape_end - arrival, *c.scrape_end);
        }
    }
    const ProbeTimeLimit scraped{arrival + 9500ms, arrival + 9500ms};
    EXPECT_EQ(deadline_cap_ms(scraped, arrival + 1999999us), 7500u);
    EXPECT_EQ(deadline_cap_ms(scraped, arrival + 9500ms), 0u);
    EXPECT_EQ(deadline_cap_ms({arrival, std::nullopt}, arrival), std::nullopt);
}

TEST(ProbeMetrics, SuccessIsTheReportsOkState) {
    using test::phase;
    const PhaseResult handshake = test::handshake_passed(std::chrono::microseconds(900));
    const PhaseResult ping_passed = phase(phase_name::ping, PhaseStatus::passed, "10.0.0.1");
    const PhaseResult ping_lost = phase(phase_name::ping, PhaseStatus::unconfirmed, "10.0.0.1");
    const struct {
        const char* label;
        std::optional<ProbeReport> report;
        bool success;
    } cases[] = {
        {"every check passed", test::report(Verdict::data_plane_confirmed, {handshake, ping_passed}), true},
        {"handshake only, nothing asked", test::report(Verdict::authentication_confirmed, {handshake}), true},
        {"handshake passed, the ping asked failed", test::report(Verdict::authentication_confirmed, {handshake, ping_lost}),
         false},
        {"unconfirmed", test::report(Verdict::unconfirmed, {}), false},
        {"no report", std::nullopt, false},
    };
    for (const auto& c : cases) {
        const std::string text = probe_metrics_text({c.report ? &*c.report : nullptr, 1ms});
        const std::string expected = std::string("\nprobe_success ") + (c.success ? "1" : "0") + "\n";
        EXPECT_NE(text.find(expected), std::string::npos) << c.label << "\n" << text;
    }
    // A DNS check's series is labelled by the name it asked for.
    PhaseResult lookup = phase(phase_name::dns, PhaseStatus::passed, "ok.test via 10.0.0.53");
    lookup.subject = "ok.test";
    const ProbeReport looked_up = test::report(Verdict::data_plane_confirmed, {handshake, lookup});
    EXPECT_NE(probe_metrics_text({&looked_up, 1ms}).find("quorlin_phase_success{check=\"ok.test\",phase=\"dns\"} 1"),
              std::string::npos);
}

}  // namespace
}  // namespace quorlin::exporter
