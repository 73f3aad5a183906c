#include "probe/data_checks.hpp"

#include "common/random.hpp"
#include "packet/dns.hpp"
#include "packet/icmp.hpp"
#include "packet/icmpv6.hpp"
#include "probe/path_mtu.hpp"
#include "probe/service_checks.hpp"
#include "probe/tcp_check.hpp"

#include <algorithm>
#include <functional>
#include <optional>
#include <thread>
#include <string>
#include <vector>

namespace quorlin {

namespace {

// Source ports of DNS queries: 32768 to 60999.
constexpr std::uint32_t dns_source_port_base = 32768;
constexpr std::uint32_t dns_source_port_span = 28232;

std::uint16_t low16(std::uint32_t value) { return static_cast<std::uint16_t>(value & 0xFFFF); }

std::string a_records_detail(const std::vector<Ipv4Octets>& records) {
    std::string detail = "valid DNS response; A records: ";
    if (records.empty()) return detail + "none";
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (i != 0) detail += ", ";
        detail += ipv4_text(records[i]);
    }
    return detail;
}

// The echo request of one try and the matcher of its reply, over IPv4 or IPv6.
struct EchoPackets {
    std::function<std::vector<std::uint8_t>(std::uint16_t sequence)> request;
    std::function<bool(std::span<const std::uint8_t> packet, std::uint16_t sequence)> is_reply;
};

EchoPackets echo_packets(const ProbePlan& plan, const IpAddress& target, std::uint16_t identifier) {
    if (const auto* v6 = std::get_if<Ipv6Address>(&target)) {
        const Ipv6Octets source = plan.inner_source_address6().octets;
        return {[=](std::uint16_t sequence) { return icmpv6_echo_request(source, v6->octets, identifier, sequence); },
                [=](std::span<const std::uint8_t> packet, std::uint16_t sequence) {
                    return is_icmpv6_echo_reply(packet, v6->octets, source, identifier, sequence);
                }};
    }
    const Ipv4Octets source = plan.inner_source_address().octets;
    const Ipv4Octets destination = std::get<Ipv4Address>(target).octets;
    const std::uint16_t ip_identification = low16(random_u32());
    return {[=](std::uint16_t sequence) {
                return icmp_echo_request(source, destination, static_cast<std::uint16_t>(ip_identification + sequence),
                                         identifier, sequence);
            },
            [=](std::span<const std::uint8_t> packet, std::uint16_t sequence) {
                return is_icmp_echo_reply(packet, destination, source, identifier, sequence);
            }};
}

// One echo of a ping check. Alone (one echo per target), it is sent again on
// the retry schedule, each try with the next sequence number so that an
// answer is timed from its own try; among several it is sent once, since
// those measure loss.
bool ping_check(ProbeReport& report, const DataCheckContext& c, const IpAddress& target, std::size_t position) {
    const std::uint16_t identifier = low16(random_u32());
    const std::uint16_t sequence = low16(static_cast<std::uint32_t>(position));
    const std::string target_text = ip_text(target);
    const EchoPackets echo = echo_packets(c.plan, target, identifier);

    emit_start(c.run_start, c.sink, phase_name::ping, target_text);
    const Instant check_start = Clock::now();
    ExchangeLimits limits = check_limits(c, check_start, c.plan.ping_timeout);
    if (c.plan.ping_count == 1) {
        limits.retry_interval = answer_retry_interval(c.path_round_trip, c.plan.ping_timeout);
    }
    const auto try_sequence = [sequence](std::uint32_t index) { return static_cast<std::uint16_t>(sequence + index); };
    const ExchangeRequest request{
        [&](std::uint32_t index) { return echo.request(try_sequence(index)); },
        // An echo reply carries no addresses to report.
        [&](std::span<const std::uint8_t> packet, std::uint32_t tries) -> std::optional<ExchangeRequest::Answer> {
            for (std::uint32_t index = 0; index < tries; ++index) {
                if (echo.is_reply(packet, try_sequence(index))) {
                    return ExchangeRequest::Answer{{}, index};
                }
            }
            return std::nullopt;
        }};
    const ExchangeOutcome outcome = exchange(c.socket, c.endpoint, c.tunnel, request, limits);
    PhaseResult result = check_phase(phase_name::ping, target_text, check_start, outcome);
    result.subject = target_text;
    const bool passed = result.status == PhaseStatus::passed;
    push_phase(report, c.run_start, c.sink, std::move(result));
    return passed;
}

// One A query check.
bool dns_check(ProbeReport& report, const DataCheckContext& c, const Ipv4Address& source, const Ipv4Address& server,
               const std::string& name) {
    const std::string target_text = name + " via " + server.to_text();
    emit_start(c.run_start, c.sink, phase_name::dns, target_text);
    const Instant check_start = Clock::now();
    ExchangeLimits limits = check_limits(c, check_start, c.plan.dns_timeout);
    limits.retry_interval = answer_retry_interval(c.path_round_trip, c.plan.dns_timeout);
    const ExchangeOutcome outcome = dns_lookup(c, source, server, name, limits);
    PhaseResult result = check_phase(phase_name::dns, target_text, check_start, outcome);
    result.subject = name;
    const bool passed = result.status == PhaseStatus::passed;
    if (passed) result.detail = a_records_detail(*outcome.a_records());
    push_phase(report, c.run_start, c.sink, std::move(result));
    return passed;
}

}  // namespace

ExchangeOutcome dns_lookup(const DataCheckContext& c, const Ipv4Address& source, const Ipv4Address& server,
                           const std::string& name, const ExchangeLimits& limits) {
    const std::uint32_t first = random_u32();
    const std::uint32_t second = random_u32();
    const std::uint32_t third = random_u32();
    const auto source_port = static_cast<std::uint16_t>(dns_source_port_base + first % dns_source_port_span);
    const std::uint16_t query_id = low16(second);
    auto query = dns_query(source.octets, server.octets, source_port, query_id, low16(third), name);
    if (!query) return ExchangeOutcome::error(std::move(query.error()), 0, 0);
    const ExchangeRequest request =
        same_packet_request(std::move(*query), [&](std::span<const std::uint8_t> packet) {
            std::optional<ExchangeRequest::Answer> answer;
            if (auto dns = parse_dns_a_response(packet, server.octets, source.octets, source_port, query_id, name)) {
                answer = ExchangeRequest::Answer{std::move(dns->a_records), std::nullopt, dns->response_code};
            }
            return answer;
        });
    return exchange(c.socket, c.endpoint, c.tunnel, request, limits);
}

bool run_data_checks(ProbeReport& report, const DataCheckContext& context) {
    const ProbePlan& plan = context.plan;
    const Ipv4Address source = plan.inner_source_address();
    bool any_data_passed = false;
    std::size_t echoes = 0;
    for (const IpAddress& target : plan.ping) {
        // Echoes to one target start the plan's interval apart; a late reply
        // to an earlier echo is dropped by the next one's wait.
        Instant next_echo{};
        for (std::uint32_t k = 0; k < plan.ping_count; ++k) {
            if (k != 0) std::this_thread::sleep_until(std::min(next_echo, context.overall_deadline));
            next_echo = checked_add(Clock::now(), plan.ping_interval).value_or(context.overall_deadline);
            any_data_passed |= ping_check(report, context, target, echoes++);
        }
    }
    // Validation has made sure there is a server whenever there are names.
    if (const std::optional<Ipv4Address> server = plan.effective_dns_server()) {
        for (const std::string& name : plan.resolve) {
            any_data_passed |= dns_check(report, context, source, *server, name);
        }
    }
    for (const TcpTarget& target : plan.tcp) any_data_passed |= tcp_check(report, context, source, target);
    for (const TlsTarget& target : plan.tls) any_data_passed |= tls_check(report, context, source, target);
    for (const HttpTarget& target : plan.http) any_data_passed |= http_check(report, context, source, target);
    // Validation has made sure the first target is IPv4.
    if (plan.mtu_check) run_path_mtu_check(report, context, source, std::get<Ipv4Address>(plan.ping.front()));
    return any_data_passed;
}

ExchangeLimits check_limits(const DataCheckContext& c, Instant check_start, Duration check_timeout) {
    const Instant check_deadline = deadline(c.overall_deadline, check_start, check_timeout);
    const auto kind = check_deadline == c.overall_deadline ? ExchangeOutcome::Limit::overall_deadline
                                                           : ExchangeOutcome::Limit::check_deadline;
    return ExchangeLimits{check_deadline, kind, c.session_expiry, check_timeout, c.overall_deadline};
}

Clock::duration answer_retry_interval(Clock::duration path_round_trip, Duration check_timeout) {
    const Clock::duration limit = check_timeout.to_clock().value_or(Clock::duration::max());
    return std::max(limit / answer_tries, path_round_trip * 3 / 2);
}

}  // namespace quorlin
