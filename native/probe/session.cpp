#include "probe/session.hpp"

#include "wireguard/messages.hpp"

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

// Recognised by the whole 4-byte type and the exact size, nothing else.
bool is_message(std::span<const std::uint8_t> datagram, MessageType type, std::size_t size) {
    return datagram.size() == size &&
           wireguard::load_le32(datagram, wireguard::type_offset) == static_cast<std::uint32_t>(type);
}

class Handshake {
public:
    Handshake(UdpSocket& socket, const SocketAddress& endpoint, wireguard::Tunn& tunnel, Instant deadline)
        : socket_(socket),
          source_(wireguard::IpAddress::of(endpoint)),
          tunnel_(tunnel),
          deadline_(deadline) {}

    SessionOutcome run() {
        const TunnResult first = tunnel_.format_handshake_initiation(output_.span(), false);
        if (first.kind == Kind::Err) return fail(protocol_error(first.error));
        if (first.kind != Kind::WriteToNetwork) return fail(protocol_error("no handshake initiation was produced"));
        const std::vector<std::uint8_t> initiation(first.packet.begin(), first.packet.end());

        const IoOutcome sent = send(socket_, initiation, deadline_);
        if (sent.kind == IoOutcome::Kind::failed) return fail_local(sent);
        if (sent.kind == IoOutcome::Kind::deadline) return fail(std::string(no_response_message));
        sent_ = sent.bytes;

        for (;;) {
            const IoOutcome got = recv(socket_, receive_.span(), deadline_);
            if (got.kind == IoOutcome::Kind::failed) return fail_local(got);
            if (got.kind == IoOutcome::Kind::deadline) return fail(std::string(no_response_message));
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

    // A cookie reply that does not open under the peer's key and our last
    // mac1 is not from the peer: dropped like any other stray datagram.
    std::optional<HandshakeFailure> answer_cookie_reply(std::span<const std::uint8_t> datagram) {
        if (cookie_replies_answered_ >= cookie_replies_answered_limit) return std::nullopt;
        const TunnResult stored = tunnel_.decapsulate(source_, datagram, output_.span());
        if (stored.kind != Kind::Done) return std::nullopt;
        ++cookie_replies_answered_;

        const TunnResult retry = tunnel_.format_handshake_initiation(output_.span(), true);
        if (retry.kind == Kind::Err) return fail(protocol_error(retry.error));
        if (retry.kind != Kind::WriteToNetwork) return fail(protocol_error("no cookie-authenticated retry was produced"));
        const IoOutcome sent = send(socket_, retry.packet, deadline_);
        if (sent.kind == IoOutcome::Kind::failed) return fail_local(sent);
        if (sent.kind == IoOutcome::Kind::deadline) return fail(std::string(no_response_message));
        sent_ += sent.bytes;
        return std::nullopt;
    }

    // The outcome of the handshake, or nullopt to keep waiting when the
    // datagram is not an authenticated answer to our initiation.
    std::optional<SessionOutcome> accept_response(std::span<const std::uint8_t> datagram) {
        const TunnResult result = tunnel_.decapsulate(source_, datagram, output_.span());
        if (result.kind == Kind::Err) {
            if (is_unauthenticated(result.error)) return std::nullopt;
            return fail(protocol_error(result.error));
        }
        if (result.kind != Kind::WriteToNetwork) {
            return fail(protocol_error("handshake response did not establish a session"));
        }
        SessionStart start{sent_, received_, KeepaliveSent{}, Clock::now()};
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
};

}  // namespace

SessionOutcome establish_session(UdpSocket& socket, const SocketAddress& endpoint, wireguard::Tunn& tunnel,
                                 Instant handshake_deadline) {
    return Handshake(socket, endpoint, tunnel, handshake_deadline).run();
}

ExchangeOutcome exchange(UdpSocket& socket, const SocketAddress& endpoint, wireguard::Tunn& tunnel,
                         std::span<const std::uint8_t> inner_packet, const ExchangeLimits& limits,
                         const InnerPacketMatch& match) {
    // The session cannot carry a reply past its lifetime, so the wait ends
    // there too, and says so.
    const bool session_ends_first = limits.session_expiry < limits.deadline;
    const Instant wait_end = session_ends_first ? limits.session_expiry : limits.deadline;
    const auto no_match = [&](std::uint64_t sent, std::uint64_t received) {
        return ExchangeOutcome::no_match(session_ends_first ? ExchangeOutcome::Limit::session_lifetime : limits.kind,
                                         sent, received);
    };
    if (Clock::now() >= wait_end) return no_match(0, 0);

    DatagramBuffer output;
    DatagramBuffer receive;
    const wireguard::IpAddress source = wireguard::IpAddress::of(endpoint);

    const TunnResult encrypted = tunnel.encapsulate(inner_packet, output.span());
    if (encrypted.kind == Kind::Err) {
        return ExchangeOutcome::error(
            "WireGuard encapsulation error: " + std::string(wireguard::error_name(encrypted.error)), 0, 0);
    }
    if (encrypted.kind != Kind::WriteToNetwork) {
        return ExchangeOutcome::error("WireGuard session did not encrypt the data packet", 0, 0);
    }
    const IoOutcome sent = send(socket, encrypted.packet, wait_end);
    if (sent.kind == IoOutcome::Kind::failed) {
        return ExchangeOutcome::error("could not send encrypted packet: " + sent.error_text, 0, 0);
    }
    if (sent.kind == IoOutcome::Kind::deadline) return no_match(0, 0);
    std::uint64_t sent_bytes = sent.bytes;
    std::uint64_t received_bytes = 0;

    for (;;) {
        const IoOutcome got = recv(socket, receive.span(), wait_end);
        if (got.kind == IoOutcome::Kind::failed) {
            return ExchangeOutcome::error("could not receive encrypted response: " + got.error_text, sent_bytes,
                                          received_bytes);
        }
        if (got.kind == IoOutcome::Kind::deadline) return no_match(sent_bytes, received_bytes);

        const TunnResult result =
            tunnel.decapsulate(source, std::span<const std::uint8_t>(receive.data(), got.bytes), output.span());
        received_bytes += got.bytes;
        switch (result.kind) {
            case Kind::WriteToNetwork: {
                const IoOutcome reply = send(socket, result.packet, wait_end);
                if (reply.kind == IoOutcome::Kind::failed) {
                    return ExchangeOutcome::error("could not send WireGuard protocol packet: " + reply.error_text,
                                                  sent_bytes, received_bytes);
                }
                if (reply.kind == IoOutcome::Kind::deadline) return no_match(sent_bytes, received_bytes);
                sent_bytes += reply.bytes;
                break;
            }
            case Kind::WriteToTunnelV4:
                if (auto records = match(result.packet)) {
                    return ExchangeOutcome::matched(std::move(*records), sent_bytes, received_bytes);
                }
                break;
            // A datagram that does not decapsulate (a duplicate or replayed
            // counter, another index, a bad tag, a stray handshake message,
            // junk) says nothing about the reply we wait for: WireGuard drops
            // it, and so do we.
            case Kind::Err:
            case Kind::Done:
            case Kind::WriteToTunnelV6:
                break;
        }
    }
}

}  // namespace quorlin
