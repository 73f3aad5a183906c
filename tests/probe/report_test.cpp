#include "probe/report.hpp"
#include "probe/report_json.hpp"

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace quorlin {
namespace {

constexpr std::uint64_t kMax = UINT64_MAX;
constexpr const char* kKey = "HIgo9xNzJMWLKASShiTqIybxZ0U3wGLiUeJ1PKf8ykw=";

SocketAddress v4(const char* address, std::uint16_t port) {
    sockaddr_in raw{};
    raw.sin_family = AF_INET;
    raw.sin_port = htons(port);
    inet_pton(AF_INET, address, &raw.sin_addr);
    return SocketAddress(raw);
}

SocketAddress v6(const char* address, std::uint16_t port) {
    sockaddr_in6 raw{};
    raw.sin6_family = AF_INET6;
    raw.sin6_port = htons(port);
    inet_pton(AF_INET6, address, &raw.sin6_addr);
    return SocketAddress(raw);
}

PhaseResult phase(std::string name, std::optional<std::string> target, PhaseStatus status, std::uint64_t duration_ms,
                  std::uint64_t sent, std::uint64_t received, std::optional<std::string> detail) {
    return PhaseResult{std::move(name), std::move(target), status, duration_ms, sent, received, std::move(detail)};
}

TEST(ReportTexts, StatusesAndVerdictsInDeclarationOrder) {
    const std::string_view statuses[] = {"passed", "sent", "unconfirmed", "skipped", "error"};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(status_text(static_cast<PhaseStatus>(i)), statuses[i]);
    const std::string_view verdicts[] = {"authentication_confirmed", "data_plane_confirmed", "unconfirmed",
                                         "local_error"};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(verdict_text(static_cast<Verdict>(i)), verdicts[i]);
}

// Saturation at 2^64 - 1 is the clock Duration's (tests/common); a clock span
// is at most 2^63 - 1 nanoseconds.
TEST(Millis, DropsTheRemainderAndCountsNegativeSpansAsZero) {
    using namespace std::chrono;
    EXPECT_EQ(millis(Clock::duration(nanoseconds(999'999))), 0u);
    EXPECT_EQ(millis(Clock::duration(nanoseconds(1'999'900))), 1u);
    EXPECT_EQ(millis(Clock::duration(seconds(3))), 3000u);
    EXPECT_EQ(millis(Clock::duration(nanoseconds(-1))), 0u);
    EXPECT_EQ(millis(Clock::duration::min()), 0u);
    EXPECT_EQ(millis(Clock::duration::max()), static_cast<std::uint64_t>(INT64_MAX) / 1'000'000);
}

TEST(ReportModel, StartsEmptyAndUnconfirmed) {
    const ProbeReport report("peer.example:51820", kKey);
    EXPECT_EQ(to_json(report),
              "{\"schema_version\":1,\"verdict\":\"unconfirmed\",\"endpoint\":\"peer.example:51820\","
              "\"resolved_endpoint\":null,\"local_udp_address\":null,"
              "\"client_public_key\":\"HIgo9xNzJMWLKASShiTqIybxZ0U3wGLiUeJ1PKf8ykw=\","
              "\"duration_ms\":0,\"sent_bytes\":0,\"received_bytes\":0,\"phases\":[]}");
}

TEST(PhaseJson, KeyOrderAndOmittedOptionals) {
    struct Case {
        PhaseResult result;
        std::string_view json;
    };
    const Case cases[] = {
        {phase("keepalive", std::nullopt, PhaseStatus::sent, 0, 32, 0, std::nullopt),
         R"({"phase":"keepalive","status":"sent","duration_ms":0,"sent_bytes":32,"received_bytes":0})"},
        {phase("validation", std::nullopt, PhaseStatus::error, 0, 0, 0, "all timeouts must be greater than zero"),
         R"({"phase":"validation","status":"error","duration_ms":0,"sent_bytes":0,"received_bytes":0,)"
         R"("detail":"all timeouts must be greater than zero"})"},
        {phase("socket", "0.0.0.0:40000", PhaseStatus::passed, 1, 0, 0, std::nullopt),
         R"({"phase":"socket","target":"0.0.0.0:40000","status":"passed","duration_ms":1,"sent_bytes":0,)"
         R"("received_bytes":0})"},
        {phase("handshake", "[::1]:443", PhaseStatus::unconfirmed, 5000, 148, 92, "no answer"),
         R"({"phase":"handshake","target":"[::1]:443","status":"unconfirmed","duration_ms":5000,"sent_bytes":148,)"
         R"("received_bytes":92,"detail":"no answer"})"},
        {phase("ping", "10.0.0.1", PhaseStatus::passed, kMax, kMax, kMax, ""),
         R"({"phase":"ping","target":"10.0.0.1","status":"passed","duration_ms":18446744073709551615,)"
         R"("sent_bytes":18446744073709551615,"received_bytes":18446744073709551615,"detail":""})"},
        // An empty target is present, not absent.
        {phase("ping", "", PhaseStatus::error, 0, 0, 0, std::nullopt),
         R"({"phase":"ping","target":"","status":"error","duration_ms":0,"sent_bytes":0,"received_bytes":0})"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(to_json(c.result), c.json);
        std::string appended = "x";
        append_json(appended, c.result);
        EXPECT_EQ(appended, "x" + std::string(c.json));
    }
}

TEST(JsonString, EscapesExactlyTheRequiredCharacters) {
    struct Case {
        std::string_view text;
        std::string_view json;
    };
    using namespace std::string_view_literals;
    const Case cases[] = {
        {"", R"("")"},
        {"plain / text 'quoted'", R"("plain / text 'quoted'")"},
        {"say \"hi\"", R"("say \"hi\"")"},
        {"C:\\path\\", R"("C:\\path\\")"},
        {"\b\f\n\r\t", R"("\b\f\n\r\t")"},
        {"a\0b"sv, R"("a\u0000b")"},
        {"\x01\x07\x0b\x0e\x1b\x1f", R"("\u0001\u0007\u000b\u000e\u001b\u001f")"},
        {" \x7f", "\" \x7f\""},
        // Non-ASCII passes through as raw UTF-8, including separators.
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\""},
        {"\xE2\x80\xA8\xE2\x80\xA9\xEF\xBB\xBF", "\"\xE2\x80\xA8\xE2\x80\xA9\xEF\xBB\xBF\""},
        {"\xF4\x8F\xBF\xBF", "\"\xF4\x8F\xBF\xBF\""},
        // Bytes that are not UTF-8 become U+FFFD, one per maximal ill-formed part.
        {"a\x80z", "\"a\xEF\xBF\xBDz\""},
        {"\xC3", "\"\xEF\xBF\xBD\""},
        {"\xC0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"\xF4\x90\x80\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"\xE2\x82\"", "\"\xEF\xBF\xBD\\\"\""},
        {"\xFF", "\"\xEF\xBF\xBD\""},
    };
    for (const auto& c : cases) {
        std::string out;
        append_json_string(out, c.text);
        EXPECT_EQ(out, c.json) << testing::PrintToString(std::string(c.text));
    }
}

TEST(ReportJson, ValidationFailure) {
    ProbeReport report("peer \"one\"\n:51820", kKey);
    report.verdict = Verdict::local_error;
    report.duration_ms = 3;
    report.phases.push_back(phase("validation", std::nullopt, PhaseStatus::error, 0, 0, 0,
                                  "all timeouts and the overall deadline must be greater than zero"));
    EXPECT_EQ(to_json(report),
              R"({"schema_version":1,"verdict":"local_error","endpoint":"peer \"one\"\n:51820",)"
              R"("resolved_endpoint":null,"local_udp_address":null,)"
              R"("client_public_key":"HIgo9xNzJMWLKASShiTqIybxZ0U3wGLiUeJ1PKf8ykw=","duration_ms":3,)"
              R"("sent_bytes":0,"received_bytes":0,"phases":[{"phase":"validation","status":"error",)"
              R"("duration_ms":0,"sent_bytes":0,"received_bytes":0,)"
              R"("detail":"all timeouts and the overall deadline must be greater than zero"}]})");
}

TEST(ReportJson, AddressesVerdictsAndPhasesInOrder) {
    struct Case {
        std::optional<SocketAddress> resolved;
        std::optional<SocketAddress> local;
        Verdict verdict;
        std::string_view head;  // up to and including client_public_key's key
    };
    const Case cases[] = {
        {v4("192.0.2.7", 51820), v4("192.0.2.1", 40001), Verdict::data_plane_confirmed,
         R"({"schema_version":1,"verdict":"data_plane_confirmed","endpoint":"vpn.test:51820",)"
         R"("resolved_endpoint":"192.0.2.7:51820","local_udp_address":"192.0.2.1:40001",)"},
        {v6("::1", 443), v6("::1", 40002), Verdict::authentication_confirmed,
         R"({"schema_version":1,"verdict":"authentication_confirmed","endpoint":"vpn.test:51820",)"
         R"("resolved_endpoint":"[::1]:443","local_udp_address":"[::1]:40002",)"},
        {v4("192.0.2.7", 51820), std::nullopt, Verdict::local_error,
         R"({"schema_version":1,"verdict":"local_error","endpoint":"vpn.test:51820",)"
         R"("resolved_endpoint":"192.0.2.7:51820","local_udp_address":null,)"},
        {std::nullopt, std::nullopt, Verdict::unconfirmed,
         R"({"schema_version":1,"verdict":"unconfirmed","endpoint":"vpn.test:51820",)"
         R"("resolved_endpoint":null,"local_udp_address":null,)"},
    };
    for (const auto& c : cases) {
        ProbeReport report("vpn.test:51820", kKey);
        report.verdict = c.verdict;
        report.resolved_endpoint = c.resolved;
        report.local_udp_address = c.local;
        report.duration_ms = kMax;
        report.sent_bytes = 180;
        report.received_bytes = 92;
        report.phases.push_back(phase("endpoint_resolution", "192.0.2.7:51820", PhaseStatus::passed, 0, 0, 0,
                                      std::nullopt));
        report.phases.push_back(phase("keepalive", "192.0.2.7:51820", PhaseStatus::sent, 0, 32, 0, "sent"));
        EXPECT_EQ(to_json(report),
                  std::string(c.head) +
                      R"("client_public_key":"HIgo9xNzJMWLKASShiTqIybxZ0U3wGLiUeJ1PKf8ykw=",)"
                      R"("duration_ms":18446744073709551615,"sent_bytes":180,"received_bytes":92,"phases":[)"
                      R"({"phase":"endpoint_resolution","target":"192.0.2.7:51820","status":"passed",)"
                      R"("duration_ms":0,"sent_bytes":0,"received_bytes":0},)"
                      R"({"phase":"keepalive","target":"192.0.2.7:51820","status":"sent","duration_ms":0,)"
                      R"("sent_bytes":32,"received_bytes":0,"detail":"sent"}]})");
    }
}

}  // namespace
}  // namespace quorlin
