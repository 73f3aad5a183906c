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
#include <vector>

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
        {"HEAD", "/metrics", "", Endpoint::metrics, "", 0},
        {"HEAD", "/probe", "target=fra-1", Endpoint::probe, "fra-1", 0},
        {"GET", "/probe", "target=a+b", Endpoint::probe, "a+b", 0},
        {"POST", "/metrics", "", {}, "only GET and HEAD are served", 405},
        {"OPTIONS", "*", "", {}, "only GET and HEAD are served", 405},
        {"get", "/metrics", "", {}, "only GET and HEAD are served", 405},
        {"GET", "/probes", "", {}, not_found, 404},
        {"GET", "/probe", "", {}, "missing target: ask for /probe?target=NAME", 400},
        {"GET", "/probe", "target=", {}, "missing target: ask for /probe?target=NAME", 400},
        {"GET", "/probe", "target=a&modules=x", {}, "unknown query parameter \"modules\": /probe takes only target=NAME", 400},
        {"GET", "/probe", "module=wireguard&target=a&module=x", {}, "module given more than once", 400},
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

// What a client behind a proxy sends is served as its path; anything else is
// left for the router to refuse.
TEST(ExporterRequest, OriginForm) {
    const struct {
        std::string_view target, origin;
    } cases[] = {
        {"/probe?target=a", "/probe?target=a"},
        {"http://127.0.0.1:9723/probe?target=a", "/probe?target=a"},
        {"HTTPS://[::1]:9723/metrics", "/metrics"},
        {"http://host:9723", "/"},
        {"http://host?x=1", "/?x=1"},
        {"*", "*"},
        {"ftp://host/metrics", "ftp://host/metrics"},
        {"metrics", "metrics"},
    };
    for (const auto& c : cases) EXPECT_EQ(origin_form(c.target), c.origin) << c.target;
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

// probe_success is the OK state; quorlin_probe_state tells the others apart,
// and each check asked has its own verdict (a target's echoes together).
TEST(ProbeMetrics, SuccessIsTheReportsOkState) {
    using test::phase;
    const PhaseResult handshake = test::handshake_passed(std::chrono::microseconds(900));
    const auto echo = [](const char* target, PhaseStatus status) {
        PhaseResult sent = phase(phase_name::ping, status, target);
        sent.sent_bytes = 80;
        return sent;
    };
    const PhaseResult ping_passed = echo("10.0.0.1", PhaseStatus::passed);
    const PhaseResult ping_lost = echo("10.0.0.1", PhaseStatus::unconfirmed);
    const PhaseResult other_lost = echo("10.0.0.2", PhaseStatus::unconfirmed);
    const struct {
        const char* label;
        std::optional<ProbeReport> report;
        bool success;
        int state;
        std::vector<std::string> checks;
    } cases[] = {
        {"every check passed", test::report(Verdict::data_plane_confirmed, {handshake, ping_passed}), true, 0,
         {"quorlin_check_success{check=\"ping\",target=\"10.0.0.1\"} 1", "quorlin_handshake_rtt_seconds 0.0009"}},
        {"handshake only, nothing asked", test::report(Verdict::authentication_confirmed, {handshake}), true, 0, {}},
        {"one echo of two lost: the target passed", test::report(Verdict::data_plane_confirmed, {handshake, ping_lost, ping_passed}),
         true, 0, {"quorlin_check_success{check=\"ping\",target=\"10.0.0.1\"} 1"}},
        {"one of two targets dead", test::report(Verdict::data_plane_confirmed, {handshake, ping_passed, other_lost}),
         false, 1,
         {"quorlin_check_success{check=\"ping\",target=\"10.0.0.1\"} 1",
          "quorlin_check_success{check=\"ping\",target=\"10.0.0.2\"} 0", "quorlin_ping_loss_ratio{check=\"10.0.0.2\"} 1"}},
        {"handshake passed, the ping asked failed", test::report(Verdict::authentication_confirmed, {handshake, ping_lost}),
         false, 2, {"quorlin_check_success{check=\"ping\",target=\"10.0.0.1\"} 0"}},
        {"unconfirmed", test::report(Verdict::unconfirmed, {phase(phase_name::ping, PhaseStatus::skipped, "10.0.0.1")}),
         false, 2,
         {"quorlin_check_success{check=\"ping\",target=\"10.0.0.1\"} 0", "quorlin_ping_loss_ratio{check=\"10.0.0.1\"} 1"}},
        {"no report", std::nullopt, false, 3, {}},
    };
    for (const auto& c : cases) {
        const std::string text = probe_metrics_text({c.report ? &*c.report : nullptr, 1ms});
        const std::string expected = std::string("\nprobe_success ") + (c.success ? "1" : "0") + "\n";
        EXPECT_NE(text.find(expected), std::string::npos) << c.label << "\n" << text;
        EXPECT_NE(text.find("\nquorlin_probe_state " + std::to_string(c.state) + "\n"), std::string::npos) << c.label << text;
        for (const std::string& series : c.checks) EXPECT_NE(text.find(series + "\n"), std::string::npos) << c.label << series;
    }
    // A DNS check's series is labelled by the name it asked for.
    PhaseResult lookup = phase(phase_name::dns, PhaseStatus::passed, "ok.test via 10.0.0.53");
    lookup.subject = "ok.test";
    const ProbeReport looked_up = test::report(Verdict::data_plane_confirmed, {handshake, lookup});
    EXPECT_NE(probe_metrics_text({&looked_up, 1ms}).find("quorlin_phase_success{check=\"ok.test\",phase=\"dns\"} 1"),
              std::string::npos);
}

// Every check asked has its success series, also when it never ran, so that
// an alert on a check fires when everything is down; one that never ran has
// no duration.
TEST(ProbeMetrics, EveryAskedCheckHasASeries) {
    input::OptionTexts asked;
    asked.ping = {"10.0.0.1", "10.0.0.2"};
    asked.resolve = {"ok.test"};
    asked.mtu_check = true;
    // A report holds what was asked of it; without one, the target's settings tell.
    const ProbeReport::AskedChecks asked_of_report{.ping = {"10.0.0.1", "10.0.0.2"}, .resolve = {"ok.test"}, .path_mtu = true};
    ProbeReport handshake_failed = test::report(
        Verdict::unconfirmed, {test::phase(phase_name::handshake, PhaseStatus::unconfirmed, "peer.test:51820"),
                               test::phase(phase_name::ping, PhaseStatus::skipped, "10.0.0.1")});
    handshake_failed.asked = asked_of_report;
    PhaseResult ping_passed = test::phase(phase_name::ping, PhaseStatus::passed, "10.0.0.1");
    ping_passed.subject = "10.0.0.1";
    ProbeReport cut_short = test::report(Verdict::authentication_confirmed,
                                         {test::handshake_passed(std::chrono::microseconds(900)), ping_passed});
    cut_short.asked = asked_of_report;
    const std::string ping1 = "{check=\"10.0.0.1\",phase=\"ping\"}";
    const std::string others[] = {"{check=\"10.0.0.2\",phase=\"ping\"}", "{check=\"ok.test\",phase=\"dns\"}",
                                  "{check=\"10.0.0.1\",phase=\"path_mtu\"}"};
    const struct {
        const char* label;
        const ProbeReport* report;
        bool ping1_passed;
    } cases[] = {{"handshake failed", &handshake_failed, false}, {"no report", nullptr, false},
                 {"ended after the first ping", &cut_short, true}};
    for (const auto& c : cases) {
        const std::string text = probe_metrics_text({.report = c.report, .duration = 1ms, .asked = &asked});
        EXPECT_NE(text.find("quorlin_phase_success" + ping1 + (c.ping1_passed ? " 1\n" : " 0\n")), std::string::npos)
            << c.label << "\n" << text;
        EXPECT_EQ(text.find("quorlin_phase_duration_seconds" + ping1) != std::string::npos, c.ping1_passed) << c.label;
        for (const std::string& series : others) {
            EXPECT_NE(text.find("quorlin_phase_success" + series + " 0\n"), std::string::npos) << c.label << series;
            EXPECT_EQ(text.find("quorlin_phase_duration_seconds" + series), std::string::npos) << c.label << series;
        }
    }
}

}  // namespace
}  // namespace quorlin::exporter
