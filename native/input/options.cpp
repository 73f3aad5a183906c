#include "input/options.hpp"

#include "input/careful_file.hpp"
#include "input/timeout.hpp"
#include "probe/plan_deadline.hpp"
#include "probe/tls_trust.hpp"

#include <utility>

namespace quorlin::input {

std::expected<Ipv4Address, std::string> parse_ipv4(std::string_view text, std::string_view label) {
    if (auto address = parse_ipv4_address(text)) return *address;
    return std::unexpected(std::string(label) + " must be an IPv4 address, got " + std::string(text));
}

std::expected<Ipv4Cidr, std::string> parse_cidr(std::string_view text, std::string_view label) {
    if (auto cidr = Ipv4Cidr::from_str(text)) return *cidr;
    return std::unexpected(std::string(label) + " must be an IPv4 CIDR, got " + std::string(text));
}

std::expected<Ipv6Cidr, std::string> parse_cidr6(std::string_view text, std::string_view label) {
    if (auto cidr = Ipv6Cidr::from_str(text)) return *cidr;
    return std::unexpected(std::string(label) + " must be an IPv6 CIDR, got " + std::string(text));
}

namespace {

// An IPv4 address, or an IPv6 one when the text holds a ':' (an address of
// the tunnel's IPv6 side: an IPv4-mapped one is the IPv4 address misspelt).
std::expected<IpAddress, std::string> parse_ping_target(std::string_view text) {
    if (text.find(':') == std::string_view::npos) return parse_ipv4(text, "ping target");
    const auto address = parse_ipv6_address(text);
    if (!address) {
        return std::unexpected("ping target must be an IPv6 address (no brackets, no zone), got " + std::string(text));
    }
    if (is_ipv4_mapped(*address)) {
        return std::unexpected("ping target " + std::string(text) + " is IPv4-mapped: write the IPv4 address");
    }
    return *address;
}

// The CAs a TLS check trusts instead of the system's: PEM certificates, at
// least one, in a regular file of at most 1 MiB.
constexpr std::size_t ca_file_limit_bytes = 1 << 20;

std::expected<std::string, std::string> read_ca_certificates(const std::string& path, std::string_view label) {
    auto contents = read_file_carefully(path, "CA", ca_file_limit_bytes);
    if (!contents) return std::unexpected(std::move(contents.error()));
    std::string pem(contents->text());
    if (auto refused = ca_certificates_refusal(pem)) {
        return std::unexpected(std::string(label) + " " + path + " " + *refused);
    }
    return pem;
}

constexpr PlanOptionNames command_line_names{"--ping-count",          "--ping-interval-ms", "--deadline-ms",
                                             "--handshake-timeout-ms", "--ping-timeout-ms",  "--dns-timeout-ms",
                                             "--mtu",                  "--tcp-timeout-ms"};

// `value` within [low, high], or "<name> must be an integer from LOW through HIGH".
std::expected<std::uint64_t, std::string> whole_number(std::int64_t value, std::string_view name, std::uint64_t low,
                                                       std::uint64_t high) {
    if (value < 0 || static_cast<std::uint64_t>(value) < low || static_cast<std::uint64_t>(value) > high) {
        return std::unexpected(std::string(name) + " must be an integer from " + std::to_string(low) + " through " +
                               std::to_string(high));
    }
    return static_cast<std::uint64_t>(value);
}

}  // namespace

const PlanOptionNames& option_names(OptionSpelling spelling) noexcept {
    return spelling == OptionSpelling::command_line ? command_line_names : plan_keyword_names;
}

std::expected<ProbeOptions, std::string> ProbeOptions::parse(OptionTexts texts) {
    const bool command_line = texts.spelling == OptionSpelling::command_line;
    const PlanOptionNames& names = option_names(texts.spelling);
    ProbeOptions options;
    options.spelling = texts.spelling;
    options.ping.reserve(texts.ping.size());
    for (const std::string& text : texts.ping) {
        auto target = parse_ping_target(text);
        if (!target) return std::unexpected(std::move(target.error()));
        options.ping.push_back(*target);
    }
    if (texts.dns_server) {
        auto server = parse_ipv4(*texts.dns_server, command_line ? "--dns-server" : "dns_server");
        if (!server) return std::unexpected(std::move(server.error()));
        options.dns_server = *server;
    }
    options.tcp.reserve(texts.tcp.size());
    for (const std::string& text : texts.tcp) {
        auto target = parse_tcp_target(text, command_line ? "--tcp" : "tcp");
        if (!target) return std::unexpected(std::move(target.error()));
        options.tcp.push_back(*target);
    }
    for (const std::string& text : texts.tls) {
        auto target = parse_tls_target(text, command_line ? "--tls" : "tls");
        if (!target) return std::unexpected(std::move(target.error()));
        options.tls.push_back(std::move(*target));
    }
    for (const std::string& text : texts.http) {
        auto target = parse_http_url(text, command_line ? "--http" : "http");
        if (!target) return std::unexpected(std::move(target.error()));
        options.http.push_back(std::move(*target));
    }
    if (texts.http_status) {
        auto statuses = parse_http_statuses(*texts.http_status, command_line ? "--http-status" : "http_status");
        if (!statuses) return std::unexpected(std::move(statuses.error()));
        options.http_status = std::move(*statuses);
    }
    options.tls_server_name = std::move(texts.tls_server_name);
    options.ca_file = std::move(texts.ca_file);
    options.http_expect = std::move(texts.http_expect);
    for (const TimeLimitName& limit : time_limit_names) {
        auto duration = timeout(texts.*limit.text, command_line ? "--" + std::string(limit.option) : std::string(limit.key));
        if (!duration) return std::unexpected(std::move(duration.error()));
        options.*limit.value = *duration;
    }
    if (auto count = whole_number(texts.ping_count, names.ping_count, 1, max_ping_count)) {
        options.ping_count = static_cast<std::uint32_t>(*count);
    } else {
        return std::unexpected(std::move(count.error()));
    }
    if (auto interval = whole_number(texts.ping_interval_ms, names.ping_interval, min_ping_interval_ms, max_timeout_ms)) {
        options.ping_interval = Duration::from_millis(*interval);
    } else {
        return std::unexpected(std::move(interval.error()));
    }
    options.mtu_check = texts.mtu_check;
    if (texts.mtu) {
        auto size = whole_number(*texts.mtu, names.mtu, min_mtu, max_mtu);
        if (!size) return std::unexpected(std::move(size.error()));
        options.mtu = static_cast<std::uint32_t>(*size);
    }
    options.resolve = std::move(texts.resolve);
    return options;
}

std::expected<ProbePlan, PlanRefusalText> ProbeOptions::plan(ProbeConfig config) const {
    ProbePlan plan(std::move(config));
    plan.handshake_timeout = handshake_timeout;
    plan.ping_timeout = ping_timeout;
    plan.dns_timeout = dns_timeout;
    plan.tcp_timeout = tcp_timeout;
    plan.tcp = tcp;
    plan.tls = tls;
    plan.http = http;
    plan.tls_server_name = tls_server_name;
    plan.http_status = http_status;
    plan.http_expect = http_expect;
    if (ca_file) {
        auto certificates = read_ca_certificates(*ca_file, spelling == OptionSpelling::command_line ? "--ca-file" : "ca_file");
        if (!certificates) return std::unexpected(PlanRefusalText{false, std::move(certificates.error())});
        plan.ca_certificates = std::move(*certificates);
    }
    plan.overall_deadline = overall_deadline;
    plan.ping = ping;
    plan.resolve = resolve;
    if (dns_server) plan.dns_server = *dns_server;
    plan.ping_count = ping_count;
    plan.ping_interval = ping_interval;
    plan.mtu_check = mtu_check;
    plan.mtu = mtu;
    // Validated here as well as at the start of the run, so that an unusable
    // combination is an exception rather than a local_error report.
    const PlanOptionNames& names = option_names(spelling);
    if (auto valid = plan.validate(names); !valid) {
        return std::unexpected(PlanRefusalText{false, std::move(valid.error().message)});
    }
    // Not part of validate(): a run may be given a shorter deadline than its
    // plan was checked against (the exporter's scrape time), and then ends early.
    if (auto refusal = deadline_refusal(plan, names)) return std::unexpected(PlanRefusalText{true, std::move(*refusal)});
    return plan;
}

}  // namespace quorlin::input
