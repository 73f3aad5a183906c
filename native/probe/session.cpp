#include "probe/session.hpp"

#include "probe/tunnel_io.hpp"
#include "wireguard/handshake.hpp"
#include "wireguard/messages.hpp"

#include <algorithm>

namespace quorlin {

namespace {

using wireguard::MessageType;
using wireguard::TunnResult;
using Kind = TunnResult::Kind;

constexpr std::string_view no_response_message = "no authenticated response before the handshake deadline";

// Cookie replies answered with a fresh initiation per handshake. A stranger who
// knows only the peer's public key can forge cookie replies; past this many we
// keep waiting for a response without sending more.
constexpr int cookie_replies_answered_limit = 4;

// Rejections of a handshake response that say nothing about the peer: a
// datagram that fails mac1, names another initiation, or comes when none is
// outstanding is dropped unread, as WireGuard itself drops it.
bool is_unauthenticated(wireguard::WireGuardError error) {
    using wireguard::WireGuardError;
    return error == WireGuardError::InvalidMac || error == WireGuardError::WrongIndex ||
           error == WireGuardError::UnexpectedPacket || error == WireGuardError::InvalidPacket ||
           error == WireGuardError::IncorrectPacketLength;
}

FailureCause os_cause(int error_number) { return FailureCause{FailureCause::Kind::os_error, error_number}; }

std::string protocol_error(wireguard::WireGuardError error) {
    return "WireGuard protocol error: " + std::string(wireguard::error_name(error));
}

// A reason is shown as a quoted string, with `"` and `\` escaped.
std::string protocol_error(std::string_view reason) {
    std::string text = "WireGuard protocol error: \"";
    for (const char c : reason) {
        if (c == '"' || c == '\\') text += '\\';
        text += c;
    }
    text += '"';
    return text;
}

// When no authenticated response has come this long after the last
// initiation, a fresh one is sent: a lost initiation or response then costs a
// second, not the whole handshake limit (3 s by default, so three tries).
// WireGuard clients wait REKEY_TIMEOUT (5 s), which would leave no retry
// within a probe's limit; a second is still far above any real round trip,
// and the answer to an earlier initiation is accepted if it comes later.
constexpr std::chrono::seconds initiation_retry_interval{1};
static_assert(initiation_retry_interval > wireguard::initiation_rate_limit);

// The tunnel answers a response to any of its last 8 initiations.
constexpr std::size_t answerable_initiations = 8;

class Handshake {
public:
    Handshake(UdpSocket& socket, const SocketAddress& endpoint, wireguard::Tunn& tunnel, Instant deadline)
        : socket_(socket),
          source_(wireguard::IpAddress::of(endpoint)),
          tunnel_(tunnel),
          deadline_(deadline) {}

    SessionOutcome run() {
        if (auto failure = send_initiation(false)) return *failure;
        for (;;) {
            const IoOutcome got = recv(socket_, receive_.span(), std::min(next_initiation_, deadline_));
            if (got.kind == IoOutcome::Kind::failed) return fail_local(got);
            if (got.kind == IoOutcome::Kind::deadline) {
                if (Clock::now() >= deadline_) return fail(std::string(no_response_message));
                if (auto failure = send_initiation(true)) return *failure;
                continue;
            }
            received_ += got.bytes;
            const std::span<const std::uint8_t> datagram(receive_.data(), got.bytes);
            if (is_message(datagram, MessageType::CookieReply, wireguard::cookie_reply::size)) {
                if (auto failure = answer_cookie_reply(datagram)) return *failure;
                continue;
            }
            if (is_message(datagram, MessageType::HandshakeResponse, wireguard::response::size)) {
                if (auto outcome = accept_response(datagram)) return std::move(*outcome);
            }
            // Other types, other sizes, the peer's own initiations, data: ignored.
        }
    }

private:
    HandshakeFailure fail(std::string message) const {
        return HandshakeFailure{std::move(message), sent_, received_, PhaseStatus::unconfirmed, std::nullopt};
    }
    HandshakeFailure fail_local(const IoOutcome& io) const {
        return HandshakeFailure{"local UDP error: " + io.error_text, sent_, received_, PhaseStatus::error,
                                os_cause(io.error_number)};
    }

    // The first initiation, a resend, or the answer to a cookie reply (the
    // latter two forced: the tunnel would otherwise hold back a new
    // initiation while one is outstanding). Each is fresh: a new ephemeral
    // key, sender index and timestamp.
    std::optional<HandshakeFailure> send_initiation(bool force) {
        const TunnResult made = tunnel_.format_handshake_initiation(output_.span(), force);
        if (made.kind == Kind::Err) return fail(protocol_error(made.error));
        if (made.kind != Kind::WriteToNetwork) return fail(protocol_error("no handshake initiation was produced"));
        // Stamped before the send: a thread preempted after it would
        // otherwise time the answer from too late, a round trip too short.
        const Instant now = Clock::now();
        const IoOutcome sent = send(socket_, made.packet, deadline_);
        if (sent.kind == IoOutcome::Kind::failed) return fail_local(sent);
        if (sent.kind == IoOutcome::Kind::deadline) return fail(std::string(no_response_message));
        sent_ += sent.bytes;
        next_initiation_ = now + initiation_retry_interval;
        // Only as many as the tunnel keeps answerable: the oldest goes first.
        if (initiations_.size() == answerable_initiations) initiations_.erase(initiations_.begin());
        initiations_.push_back({wireguard::load_le32(made.packet, wireguard::initiation::sender_offset), now});
        return std::nullopt;
    }

    // From the sending of the initiation this response answers (its receiver
    // index is that initiation's sender index) to now.
    Clock::duration round_trip_of(std::span<const std::uint8_t> response, Instant now) const {
        const std::uint32_t index = wireguard::load_le32(response, wireguard::response::receiver_offset);
        for (const SentInitiation& sent : initiations_) {
            if (sent.sender_index == index) return now - sent.at;
        }
        return now - initiations_.back().at;  // not reached: the tunnel accepted it as ours
    }

    // A cookie reply that does not open under the peer's key and the mac1 of
    // one of our initiations is not from the peer: dropped like any other
    // stray datagram.
    std::optional<HandshakeFailure> answer_cookie_reply(std::span<const std::uint8_t> datagram) {
        if (cookie_replies_answered_ >= cookie_replies_answered_limit) return std::nullopt;
        const TunnResult stored = tunnel_.decapsulate(source_, datagram, output_.span());
        if (stored.kind != Kind::Done) return std::nullopt;
        ++cookie_replies_answered_;
        return send_initiation(true);
    }

    // The outcome of the handshake, or nullopt to keep waiting when the
    // datagram is not an authenticated answer to one of our initiations.
    std::optional<SessionOutcome> accept_response(std::span<const std::uint8_t> datagram) {
        const TunnResult result = tunnel_.decapsulate(source_, datagram, output_.span());
        if (result.kind == Kind::Err) {
            if (is_unauthenticated(result.error)) return std::nullopt;
            return fail(protocol_error(result.error));
        }
        if (result.kind != Kind::WriteToNetwork) {
            return fail(protocol_error("handshake response did not establish a session"));
        }
        const Instant now = Clock::now();
        SessionStart start{sent_, received_, KeepaliveSent{}, now, round_trip_of(datagram, now)};
        const IoOutcome keepalive = send(socket_, result.packet, deadline_);
        switch (keepalive.kind) {
            case IoOutcome::Kind::done:
                start.keepalive = KeepaliveSent{keepalive.bytes};
                break;
            case IoOutcome::Kind::failed:
                start.keepalive = KeepaliveFailed{"could not send initial keepalive: " + keepalive.error_text};
                break;
            case IoOutcome::Kind::deadline:
                start.keepalive = KeepaliveFailed{"handshake deadline expired before initial keepalive"};
                break;
        }
        return start;
    }

    UdpSocket& socket_;
    const wireguard::IpAddress source_;
    wireguard::Tunn& tunnel_;
    const Instant deadline_;
    DatagramBuffer output_;
    DatagramBuffer receive_;
    std::uint64_t sent_ = 0;
    std::uint64_t received_ = 0;
    int cookie_replies_answered_ = 0;
    Instant next_initiation_{};
    struct SentInitiation {
        std::uint32_t sender_index = 0;
        Instant at{};
    };
    std::vector<SentInitiation> initiations_;
};

}  // namespace

SessionOutcome establish_session(UdpSocket& socket, const SocketAddress& endpoint, wireguard::Tunn& tunnel,
                                 Instant handshake_deadline) {
    return Handshake(socket, endpoint, tunnel, handshake_deadline).run();
}

ExchangeRequest same_packet_request(
    std::vector<std::uint8_t> packet,
    std::function<std::optional<ExchangeRequest::Answer>(std::span<const std::uint8_t>)> match) {
    return ExchangeRequest{[packet = std::move(packet)](std::uint32_t) { return packet; },
                           [match = std::move(match)](std::span<const std::uint8_t> inner, std::uint32_t) {
                               return match(inner);
                           }};
}

namespace {

// One request and the wait for its answer: tries on a schedule, and one at
// once on each new session (a late answer to a resent initiation moves the
// tunnel to the session the peer keeps, and the peer has dropped what came on
// the session it replaced).
class Exchange {
public:
    Exchange(UdpSocket& socket, const SocketAddress& endpoint, wireguard::Tunn& tunnel,
             const ExchangeRequest& request, const ExchangeLimits& limits)
        : socket_(socket),
          source_(wireguard::IpAddress::of(endpoint)),
          tunnel_(tunnel),
          request_(request),
          limits_(limits) {
        set_wait_end(limits.deadline, limits.kind, limits.session_expiry);
    }

    ExchangeOutcome run() {
        if (Clock::now() >= wait_end_) return no_match();
        if (auto ended = send_try()) return std::move(*ended);
        for (;;) {
            const IoOutcome got = recv(socket_, receive_.span(), std::min(wait_end_, next_try_));
            if (got.kind == IoOutcome::Kind::failed) {
                return error("could not receive encrypted response: " + got.error_text);
            }
            if (got.kind == IoOutcome::Kind::deadline) {
                if (Clock::now() >= wait_end_) return no_match();
                if (auto ended = send_try()) return std::move(*ended);
                continue;
            }
            received_ += got.bytes;
            if (auto ended = on_datagram(std::span<const std::uint8_t>(receive_.data(), got.bytes))) {
                return std::move(*ended);
            }
        }
    }

private:
    ExchangeOutcome no_match() const { return ExchangeOutcome::no_match(limit_, sent_, received_); }
    ExchangeOutcome error(std::string message, int error_number = 0) const {
        return ExchangeOutcome::error(std::move(message), sent_, received_, error_number);
    }

    // The session cannot carry an answer past its lifetime, so the wait ends
    // there too, and says so.
    void set_wait_end(Instant deadline, ExchangeOutcome::Limit kind, Instant session_expiry) {
        const bool session_ends_first = session_expiry < deadline;
        wait_end_ = session_ends_first ? session_expiry : deadline;
        limit_ = session_ends_first ? ExchangeOutcome::Limit::session_lifetime : kind;
    }

    // The try after this one: never when there is no schedule.
    void schedule_next_try(Instant now) {
        if (limits_.retry_interval <= Clock::duration::zero()) {
            next_try_ = Instant::max();
            return;
        }
        next_try_ = now + limits_.retry_interval * (limits_.doubling ? backoff_ : 1);
        if (limits_.doubling && backoff_ < max_backoff) backoff_ *= 2;
    }

    std::optional<ExchangeOutcome> send_try() {
        const std::vector<std::uint8_t> inner = request_.packet(static_cast<std::uint32_t>(tries_.size()));
        const Instant now = Clock::now();  // before the send, as for an initiation
        const TunnelSend sent = seal_and_send(socket_, tunnel_, inner, output_.span(), wait_end_);
        if (sent.kind == TunnelSend::Kind::failed) return error(sent.message, sent.error_number);
        if (sent.kind == TunnelSend::Kind::expired) return no_match();
        sent_ += sent.bytes;
        tries_.push_back(now);
        schedule_next_try(now);
        return std::nullopt;
    }

    // The tunnel now uses a later session: the check begins again from here.
    std::optional<ExchangeOutcome> begin_again_on_new_session() {
        const Instant now = Clock::now();
        if (!limits_.check_timeout.is_zero()) {
            const Instant restarted = deadline(limits_.overall_deadline, now, limits_.check_timeout);
            if (restarted > limits_.deadline) {
                const auto kind = restarted == limits_.overall_deadline ? ExchangeOutcome::Limit::overall_deadline
                                                                        : ExchangeOutcome::Limit::check_deadline;
                set_wait_end(restarted, kind, limits_.session_expiry);
            }
        }
        return send_try();
    }

    std::optional<ExchangeOutcome> on_datagram(std::span<const std::uint8_t> datagram) {
        const OpenedDatagram opened = open_datagram(socket_, tunnel_, source_, datagram, output_.span(), wait_end_);
        switch (opened.kind) {
            case OpenedDatagram::Kind::failed: return error(opened.message);
            case OpenedDatagram::Kind::expired: return no_match();
            case OpenedDatagram::Kind::answered:
                sent_ += opened.sent_bytes;
                if (opened.new_session) return begin_again_on_new_session();
                return std::nullopt;
            case OpenedDatagram::Kind::inner_packet:
                if (auto answer = request_.match(opened.inner, static_cast<std::uint32_t>(tries_.size()))) {
                    return matched(std::move(*answer));
                }
                return std::nullopt;
            case OpenedDatagram::Kind::dropped: return std::nullopt;
        }
        return std::nullopt;
    }

    // Timed from the try it answers; from the latest try when it does not
    // say which, which never makes the round trip longer than it was.
    ExchangeOutcome matched(ExchangeRequest::Answer answer) const {
        const std::size_t index = answer.answered_try && *answer.answered_try < tries_.size()
                                      ? *answer.answered_try
                                      : tries_.size() - 1;
        ExchangeOutcome outcome = ExchangeOutcome::matched(std::move(answer.a_records), sent_, received_,
                                                           Clock::now() - tries_[index],
                                                           static_cast<std::uint32_t>(tries_.size()));
        auto& match = std::get<ExchangeOutcome::Matched>(outcome.result);
        match.dns_response_code = answer.dns_response_code;
        match.refused = answer.refused;
        return outcome;
    }

    UdpSocket& socket_;
    const wireguard::IpAddress source_;
    wireguard::Tunn& tunnel_;
    const ExchangeRequest& request_;
    const ExchangeLimits& limits_;
    Instant wait_end_{};
    ExchangeOutcome::Limit limit_ = ExchangeOutcome::Limit::check_deadline;
    Instant next_try_ = Instant::max();
    static constexpr int max_backoff = 64;  // TCP's usual cap of a minute over a 1 s start
    int backoff_ = 1;
    std::vector<Instant> tries_;  // when each try went out
    DatagramBuffer output_;
    DatagramBuffer receive_;
    std::uint64_t sent_ = 0;
    std::uint64_t received_ = 0;
};

}  // namespace

ExchangeOutcome exchange(UdpSocket& socket, const SocketAddress& endpoint, wireguard::Tunn& tunnel,
                         const ExchangeRequest& request, const ExchangeLimits& limits) {
    return Exchange(socket, endpoint, tunnel, request, limits).run();
}

}  // namespace quorlin
