#include "probe/service_checks.hpp"

#include "packet/dns.hpp"
#include "probe/assessment.hpp"
#include "probe/http_message.hpp"
#include "probe/inner_link.hpp"
#include "probe/tcp_connection.hpp"
#include "probe/tls_client.hpp"

#include <array>
#include <ctime>
#include <variant>

namespace quorlin {

namespace {

// What a check reads of a body at most, and of a whole answer with its head.
constexpr std::size_t body_limit_bytes = 256 * 1024;
constexpr std::size_t answer_limit_bytes = body_limit_bytes + 16 * 1024;

std::string date_text(std::int64_t seconds) {
    const std::time_t when = static_cast<std::time_t>(seconds);
    std::tm utc{};
    if (gmtime_r(&when, &utc) == nullptr) return "?";
    std::array<char, 16> text{};
    return std::string(text.data(), std::strftime(text.data(), text.size(), "%Y-%m-%d", &utc));
}

// "TLS 1.3, certificate CN=git.internal valid until 2027-03-01 (84 days)"
std::string handshake_text(const TlsHandshakeFacts& facts) {
    std::string text = facts.version;
    if (!facts.leaf) return text + ", no certificate";
    const std::int64_t days = certificate_days_left(facts.leaf->not_after);
    text += ", certificate " + facts.leaf->subject + (days < 0 ? " expired on " : " valid until ") +
            date_text(facts.leaf->not_after) + " (" + std::to_string(days) + (days == 1 || days == -1 ? " day)" : " days)");
    if (facts.verify_failure) text += ": " + *facts.verify_failure;
    return text;
}

// One service check's run: its phase, its limit and the bytes it moved.
class ServiceRun {
public:
    ServiceRun(const DataCheckContext& c, std::string_view phase, std::string target)
        : c_(c), link_(c.socket, c.endpoint, c.tunnel) {
        result_.phase = std::string(phase);
        result_.target = target;
        result_.subject = std::move(target);
        emit_start(c.run_start, c.sink, phase, *result_.target);
        start_ = Clock::now();
        limits_ = check_limits(c, start_, c.plan.tcp_timeout);
    }

    Instant deadline() const { return limits_.deadline; }
    InnerLink& link() { return link_; }

    // The host's address: the literal, or the tunnel's DNS server's first A
    // record for the name; else the phase is ended and nothing returned.
    std::optional<Ipv4Address> address_of(const ServiceHost& host, const Ipv4Address& source) {
        if (host.address) return host.address;
        const Ipv4Address server = *c_.plan.effective_dns_server();  // the plan asks for one with names
        ExchangeLimits limits = limits_;
        limits.retry_interval = answer_retry_interval(c_.path_round_trip, c_.plan.tcp_timeout);
        const ExchangeOutcome lookup = dns_lookup(c_, source, server, host.text, limits);
        lookup_sent_ += lookup.sent_bytes;
        lookup_received_ += lookup.received_bytes;
        const std::string asked = host.text + " via " + server.to_text();
        if (const auto* error = std::get_if<ExchangeOutcome::Error>(&lookup.result)) {
            end(PhaseStatus::error, "name " + asked + ": " + error->message);
            return std::nullopt;
        }
        const ExchangeOutcome::Matched* match = lookup.match();
        if (match == nullptr) {
            end(PhaseStatus::unconfirmed, "no DNS answer for " + asked + " before the check deadline");
            return std::nullopt;
        }
        if (match->dns_response_code.value_or(dns_noerror) != dns_noerror || match->a_records.empty()) {
            const std::string code = match->a_records.empty() && match->dns_response_code.value_or(0) == dns_noerror
                                         ? std::string("no A record")
                                         : dns_response_code_name(*match->dns_response_code);
            end(PhaseStatus::passed, "name " + asked + ": " + code, "name " + code);
            return std::nullopt;
        }
        const Ipv4Address address{match->a_records.front()};
        if (!allowed_ips_contain(c_.plan.config.allowed_ips, address)) {
            end(PhaseStatus::passed, host.text + " is " + address.to_text() + ", outside Peer AllowedIPs",
                "outside AllowedIPs");
            return std::nullopt;
        }
        resolved_ = host.text + " is " + address.to_text() + "; ";
        return address;
    }

    // A connection failure ends the phase as the TCP check would tell it.
    void end_connection(const TcpFailure& failure) {
        switch (failure.kind) {
            case TcpFailure::Kind::refused: end(PhaseStatus::passed, failure.detail, "refused"); return;
            case TcpFailure::Kind::no_answer: end(PhaseStatus::unconfirmed, failure.detail); return;
            case TcpFailure::Kind::local_error: end(PhaseStatus::error, failure.detail); return;
            case TcpFailure::Kind::reset:
            case TcpFailure::Kind::too_much_data: end(PhaseStatus::passed, failure.detail, failure.detail); return;
        }
    }

    void end_tls(const TlsFailure& failure) {
        if (failure.unanswered) {
            end(PhaseStatus::unconfirmed, failure.detail);
        } else {
            end(PhaseStatus::passed, failure.detail, failure.clause);
        }
    }

    void end(PhaseStatus status, std::string detail, std::optional<std::string> service_failure = std::nullopt) {
        result_.status = status;
        result_.detail = resolved_ + std::move(detail);
        result_.service_failure = std::move(service_failure);
    }

    PhaseResult& result() { return result_; }

    // Records the phase; true when the service answered.
    bool record(ProbeReport& report) {
        stamp(result_);
        result_.sent_bytes = link_.sent_bytes() + lookup_sent_;
        result_.received_bytes = link_.received_bytes() + lookup_received_;
        const bool answered = result_.status == PhaseStatus::passed;
        push_phase(report, c_.run_start, c_.sink, std::move(result_));
        return answered;
    }

private:
    void stamp(PhaseResult& result) const {
        result.elapsed = Clock::now() - start_;
        result.duration_ms = static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(result.elapsed).count());
    }

    const DataCheckContext& c_;
    TunnelLink link_;
    PhaseResult result_;
    Instant start_{};
    ExchangeLimits limits_{};
    std::string resolved_;
    std::uint64_t lookup_sent_ = 0;
    std::uint64_t lookup_received_ = 0;
};

// The TLS session of a check: SNI for a named host (or the name given), the
// certificate verified for that name or the address.
std::expected<TlsClient, std::string> tls_session(TcpConnection& connection, const DataCheckContext& c,
                                                  const ServiceHost& host) {
    std::optional<std::string> server_name = c.plan.tls_server_name;
    if (!server_name && !host.address) server_name = host.text;
    return TlsClient::create(connection, server_name, server_name.value_or(host.text), c.plan.ca_certificates);
}

// The TLS handshake of an open connection; the phase is ended on failure.
std::optional<TlsHandshakeFacts> secure(ServiceRun& run, TlsClient& tls) {
    auto facts = tls.handshake(run.deadline());
    if (!facts) {
        run.end_tls(facts.error());
        return std::nullopt;
    }
    if (facts->leaf) run.result().certificate_not_after = facts->leaf->not_after;
    return std::move(*facts);
}

}  // namespace

bool tls_check(ProbeReport& report, const DataCheckContext& c, const Ipv4Address& source, const TlsTarget& target) {
    ServiceRun run(c, phase_name::tls, target.to_text());
    if (const auto address = run.address_of(target.host, source)) {
        TcpConnection connection(run.link(), source, TcpTarget{*address, target.port}, c.plan.tcp_mss());
        if (const auto opened = connection.open(run.deadline(), c.path_round_trip); !opened) {
            run.end_connection(opened.error());
        } else if (auto tls = tls_session(connection, c, target.host); !tls) {
            run.end(PhaseStatus::error, tls.error());
        } else if (const auto facts = secure(run, *tls)) {
            run.end(PhaseStatus::passed, handshake_text(*facts), facts->verify_failure);
        }
        connection.close();
    }
    return run.record(report);
}

namespace {

// Sends the GET and reads the answer (its head, then the body up to its
// length, the server's close or the cap), over TLS or the bare connection.
template <typename Stream>
void exchange_http(ServiceRun& run, Stream& stream, const HttpTarget& target, const HttpStatusRanges& accepted,
                   const std::optional<std::string>& expected, std::string prefix) {
    const std::string request = http_request(target);
    if (auto sent = stream.write({reinterpret_cast<const std::uint8_t*>(request.data()), request.size()}, run.deadline());
        !sent) {
        stream.fail(run, sent.error());
        return;
    }
    std::string received;
    std::array<std::uint8_t, 16384> buffer{};
    std::pair<HeadReading, HttpHead> head{HeadReading::incomplete, {}};
    for (;;) {
        const auto got = stream.read(buffer, run.deadline());
        if (!got) {
            // A head that came is worth telling even if the body stalls.
            if (head.first != HeadReading::complete) {
                stream.fail(run, got.error());
                return;
            }
            break;
        }
        if (*got == 0) break;
        received.append(reinterpret_cast<const char*>(buffer.data()), std::min(*got, answer_limit_bytes - received.size()));
        if (head.first != HeadReading::complete) head = read_http_head(received);
        if (received.size() >= answer_limit_bytes) break;
        if (head.first == HeadReading::malformed) break;
        if (head.first == HeadReading::complete) {
            const std::size_t body = received.size() - head.second.head_bytes;
            if ((head.second.content_length && body >= *head.second.content_length) || body >= body_limit_bytes) break;
        }
    }
    if (head.first != HeadReading::complete) {
        const std::string what = head.first == HeadReading::malformed ? "not an HTTP answer" : "no HTTP answer";
        run.end(PhaseStatus::passed, prefix + what + " (" + std::to_string(received.size()) + " bytes)", what);
        return;
    }
    const HttpHead& h = head.second;
    run.result().http_status = h.status;
    const std::size_t body_bytes = received.size() - h.head_bytes;
    std::string detail = prefix + "HTTP " + std::to_string(h.status) + (h.reason.empty() ? "" : " " + h.reason) + ", " +
                         std::to_string(body_bytes) + " bytes";
    if (h.location) detail += ", Location " + *h.location + " (not followed)";
    std::optional<std::string> failure;
    if (!status_accepted(accepted, h.status)) {
        failure = "status " + std::to_string(h.status);
    } else if (expected && std::string_view(received).substr(h.head_bytes).find(*expected) == std::string_view::npos) {
        failure = "expected text not found";
        detail += ", expected text not found";
    }
    run.end(PhaseStatus::passed, std::move(detail), std::move(failure));
}

// The bare connection as an HTTP stream.
struct PlainStream {
    TcpConnection& connection;
    std::expected<void, TcpFailure> write(std::span<const std::uint8_t> data, Instant deadline) {
        return connection.send(data, deadline);
    }
    std::expected<std::size_t, TcpFailure> read(std::span<std::uint8_t> out, Instant deadline) {
        return connection.receive(out, deadline);
    }
    void fail(ServiceRun& run, const TcpFailure& failure) { run.end_connection(failure); }
};

struct SecureStream {
    TlsClient& tls;
    std::expected<void, TlsFailure> write(std::span<const std::uint8_t> data, Instant deadline) {
        return tls.write(data, deadline);
    }
    std::expected<std::size_t, TlsFailure> read(std::span<std::uint8_t> out, Instant deadline) {
        return tls.read(out, deadline);
    }
    void fail(ServiceRun& run, const TlsFailure& failure) { run.end_tls(failure); }
};

}  // namespace

bool http_check(ProbeReport& report, const DataCheckContext& c, const Ipv4Address& source, const HttpTarget& target) {
    ServiceRun run(c, phase_name::http, target.url);
    if (const auto address = run.address_of(target.host, source)) {
        TcpConnection connection(run.link(), source, TcpTarget{*address, target.port}, c.plan.tcp_mss());
        if (const auto opened = connection.open(run.deadline(), c.path_round_trip); !opened) {
            run.end_connection(opened.error());
        } else if (!target.https) {
            PlainStream stream{connection};
            exchange_http(run, stream, target, c.plan.http_status, c.plan.http_expect, "");
        } else if (auto tls = tls_session(connection, c, target.host); !tls) {
            run.end(PhaseStatus::error, tls.error());
        } else if (const auto facts = secure(run, *tls)) {
            if (facts->verify_failure) {
                run.end(PhaseStatus::passed, handshake_text(*facts), facts->verify_failure);
            } else {
                SecureStream stream{*tls};
                exchange_http(run, stream, target, c.plan.http_status, c.plan.http_expect, facts->version + "; ");
            }
        }
        connection.close();
    }
    return run.record(report);
}

}  // namespace quorlin
