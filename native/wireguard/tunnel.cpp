#include "wireguard/tunnel.hpp"

#include "wireguard/cookie.hpp"
#include "wireguard/handshake.hpp"
#include "wireguard/inner_packet.hpp"
#include "wireguard/messages.hpp"
#include "wireguard/session.hpp"
#include "wireguard/tai64n.hpp"

namespace quorlin::wireguard {

namespace {

// The mac1 of a handshake message we sent and the sender index it carried: a
// cookie reply to that message names the index and is bound to the mac1.
struct SentHandshake {
    std::uint32_t local_index = 0;
    Mac mac1{};
};

// Initiations sent and not yet answered, oldest first. A caller that resends
// an initiation because no response came may still get the answer to an
// earlier one, so the last few stay answerable. The peer keeps only the
// session of the latest initiation it accepted: once one is answered, it and
// every earlier one are forgotten, so a late answer to an older initiation
// can never replace the newer session.
class OutstandingInitiations {
public:
    static constexpr std::size_t capacity = 8;

    const InitiationState* newest() const noexcept { return count_ ? &at(count_ - 1) : nullptr; }
    bool empty() const noexcept { return count_ == 0; }

    // The oldest is forgotten (its secrets wiped) when all places are taken.
    void add(InitiationState&& state) noexcept {
        if (count_ == capacity) drop_through(0);
        slots_[(first_ + count_) % capacity] = std::move(state);
        ++count_;
    }

    // The position of the initiation that used `local_index`, oldest first.
    std::optional<std::size_t> find(std::uint32_t local_index) const noexcept {
        for (std::size_t i = 0; i < count_; ++i) {
            if (at(i).local_index == local_index) return i;
        }
        return std::nullopt;
    }
    const InitiationState& at(std::size_t position) const noexcept { return *slots_[(first_ + position) % capacity]; }

    // Forgets the initiation at `position` and every earlier one.
    void drop_through(std::size_t position) noexcept {
        for (std::size_t i = 0; i <= position; ++i) slots_[(first_ + i) % capacity].reset();
        first_ = (first_ + position + 1) % capacity;
        count_ -= position + 1;
    }

private:
    std::array<std::optional<InitiationState>, capacity> slots_;
    std::size_t first_ = 0;
    std::size_t count_ = 0;
};

}  // namespace

struct TunnelState {
    StaticIdentity identity;
    MacKeys to_peer;  // MACs on what we send, cookie replies the peer sends
    MacKeys to_us;    // MACs on what we receive, cookie replies we send
    std::optional<std::uint16_t> persistent_keepalive;
    std::shared_ptr<RateLimiter> rate_limiter;
    std::uint32_t next_local_index;

    OutstandingInitiations initiations;               // ours, not yet answered
    std::optional<SentHandshake> last_response;       // our latest answer to the peer's initiation
    std::optional<Tai64n> latest_peer_timestamp;      // replay guard for the peer's initiations
    HeldCookie cookie;                                // from the peer, for mac2
    CookieIssuer cookie_issuer;                       // for our cookie replies under load

    // `next` is a session we answered but the peer has not used yet; the
    // responder may not send on it until the peer's first transport message
    // confirms it, which promotes it to `current`.
    std::optional<Session> current;
    std::optional<Session> previous;
    std::optional<Session> next;

    TunnelState(StaticKeyPair static_keys, KeyView peer_static_public, std::optional<KeyView> preshared_key,
                std::optional<std::uint16_t> keepalive, std::uint32_t index,
                std::shared_ptr<RateLimiter> limiter) noexcept
        : identity(static_keys.private_key, static_keys.public_key, peer_static_public, preshared_key),
          to_peer(MacKeys::for_receiver(identity.peer_public_key)),
          to_us(MacKeys::for_receiver(identity.public_key)),
          persistent_keepalive(keepalive),
          rate_limiter(std::move(limiter)),
          next_local_index(index) {}

    std::uint32_t take_local_index() noexcept { return next_local_index++; }

    // A fresh session replaces `current`; the old one stays readable for
    // messages already in flight.
    void install(Session&& session) noexcept {
        previous = std::move(current);
        current.emplace(std::move(session));
    }

    Session* session_for(std::uint32_t local_index) noexcept {
        for (std::optional<Session>* slot : {&current, &previous, &next}) {
            if (*slot && (*slot)->local_index() == local_index) return &**slot;
        }
        return nullptr;
    }

    TunnResult initiate(std::span<std::uint8_t> dst, bool force, Instant now);
    // What every handshake message passes before its body is read: a valid
    // mac1 (else InvalidMac) and, under load, a valid mac2 (else a cookie reply
    // instead of an answer). Empty when the message may be processed.
    std::optional<TunnResult> screen(const std::optional<IpAddress>& src, std::span<const std::uint8_t> message,
                                     MacLayout layout, std::uint32_t sender_index, std::span<std::uint8_t> dst,
                                     Instant now);
    TunnResult on_initiation(const std::optional<IpAddress>& src, std::span<const std::uint8_t, initiation::size> message,
                             std::span<std::uint8_t> dst, Instant now);
    TunnResult on_response(const std::optional<IpAddress>& src, std::span<const std::uint8_t, response::size> message,
                           std::span<std::uint8_t> dst, Instant now);
    TunnResult on_cookie_reply(std::span<const std::uint8_t, cookie_reply::size> message, Instant now);
    TunnResult on_transport(std::span<const std::uint8_t> message, std::span<std::uint8_t> dst, Instant now);
};

TunnResult TunnelState::initiate(std::span<std::uint8_t> dst, bool force, Instant now) {
    if (dst.size() < initiation::size) return TunnResult::err(WireGuardError::DestinationBufferTooSmall);
    const InitiationState* newest = initiations.newest();
    if (!force && newest && now - newest->sent_at < rekey_timeout) return TunnResult::done();
    const auto out = dst.first<initiation::size>();
    auto state = write_initiation(identity, take_local_index(), Tai64n::now(), out);
    if (!state) return TunnResult::err(state.error());
    state->mac1 = seal_macs(out, initiation_macs, to_peer, cookie, now);
    state->sent_at = now;
    initiations.add(std::move(*state));
    return TunnResult::write_to_network(out);
}

std::optional<TunnResult> TunnelState::screen(const std::optional<IpAddress>& src,
                                              std::span<const std::uint8_t> message, MacLayout layout,
                                              std::uint32_t sender_index, std::span<std::uint8_t> dst, Instant now) {
    if (!mac1_valid(message, layout, to_us)) return TunnResult::err(WireGuardError::InvalidMac);
    if (!rate_limiter || !rate_limiter->is_under_load(src, now)) return std::nullopt;
    // The cookie is bound to the source address; without one none can be given.
    if (!src) return TunnResult::err(WireGuardError::UnderLoad);
    SecretArray<cookie_bytes> expected_cookie;
    cookie_issuer.cookie_for(expected_cookie.span(), *src, now);
    if (mac2_valid(message, layout, expected_cookie.view())) return std::nullopt;
    if (dst.size() < cookie_reply::size) return TunnResult::err(WireGuardError::DestinationBufferTooSmall);
    const auto out = dst.first<cookie_reply::size>();
    cookie_issuer.write_reply(out, sender_index, mac1_of(message, layout), *src, to_us, now);
    return TunnResult::write_to_network(out);
}

TunnResult TunnelState::on_initiation(const std::optional<IpAddress>& src,
                                      std::span<const std::uint8_t, initiation::size> message,
                                      std::span<std::uint8_t> dst, Instant now) {
    const std::uint32_t sender_index = load_le32(message, initiation::sender_offset);
    if (auto refused = screen(src, message, initiation_macs, sender_index, dst, now)) return *refused;
    if (dst.size() < response::size) return TunnResult::err(WireGuardError::DestinationBufferTooSmall);
    auto peer = read_initiation(identity, message, latest_peer_timestamp);
    if (!peer) return TunnResult::err(peer.error());

    const auto out = dst.first<response::size>();
    const std::uint32_t local_index = take_local_index();
    auto keys = write_response(identity, *peer, local_index, out);
    if (!keys) return TunnResult::err(keys.error());
    latest_peer_timestamp = peer->timestamp;
    last_response = SentHandshake{local_index, seal_macs(out, response_macs, to_peer, cookie, now)};
    next.emplace(*keys, now);
    return TunnResult::write_to_network(out);
}

TunnResult TunnelState::on_response(const std::optional<IpAddress>& src,
                                    std::span<const std::uint8_t, response::size> message,
                                    std::span<std::uint8_t> dst, Instant now) {
    const std::uint32_t sender_index = load_le32(message, response::sender_offset);
    if (auto refused = screen(src, message, response_macs, sender_index, dst, now)) return *refused;
    if (initiations.empty()) return TunnResult::err(WireGuardError::UnexpectedPacket);
    const std::optional<std::size_t> answered = initiations.find(load_le32(message, response::receiver_offset));
    if (!answered) return TunnResult::err(WireGuardError::WrongIndex);
    // Checked before the handshake completes so that a completed handshake
    // always has room for its first message.
    if (dst.size() < transport::min_size) return TunnResult::err(WireGuardError::DestinationBufferTooSmall);
    auto keys = read_response(identity, initiations.at(*answered), message);
    if (!keys) return TunnResult::err(keys.error());
    initiations.drop_through(*answered);
    install(Session(*keys, now));

    // The keepalive confirms the session to the responder, who may not send
    // on it before hearing from us.
    auto size = current->seal(std::span<const std::uint8_t>(), dst);
    if (!size) return TunnResult::err(size.error());
    return TunnResult::write_to_network(dst.first(*size));
}

TunnResult TunnelState::on_cookie_reply(std::span<const std::uint8_t, cookie_reply::size> message, Instant now) {
    const std::uint32_t receiver_index = load_le32(message, cookie_reply::receiver_offset);
    const Mac* sent_mac1 = nullptr;
    if (const auto sent = initiations.find(receiver_index)) {
        sent_mac1 = &initiations.at(*sent).mac1;
    } else if (last_response && last_response->local_index == receiver_index) {
        sent_mac1 = &last_response->mac1;
    } else {
        return TunnResult::err(!initiations.empty() || last_response ? WireGuardError::WrongIndex
                                                           : WireGuardError::UnexpectedPacket);
    }
    SecretArray<cookie_bytes> received;
    if (auto opened = open_cookie_reply(message, to_peer, *sent_mac1, received); !opened) {
        return TunnResult::err(opened.error());
    }
    cookie.store(received.view(), now);
    return TunnResult::done();
}

TunnResult TunnelState::on_transport(std::span<const std::uint8_t> message, std::span<std::uint8_t> dst,
                                     Instant now) {
    const std::uint32_t receiver_index = load_le32(message, transport::receiver_offset);
    Session* session = session_for(receiver_index);
    if (!session) {
        return TunnResult::err(current || previous || next ? WireGuardError::WrongIndex
                                                           : WireGuardError::NoCurrentSession);
    }
    auto plaintext = session->open(message, dst, now);
    if (!plaintext) return TunnResult::err(plaintext.error());
    if (next && session == &*next) {
        install(std::move(*next));
        next.reset();
    }
    if (plaintext->empty()) return TunnResult::done();  // keepalive
    auto packet = read_inner_packet(*plaintext);
    if (!packet) return TunnResult::err(packet.error());
    return TunnResult::write_to_tunnel(packet->bytes, packet->source);
}

namespace {

std::array<std::uint8_t, key_bytes> public_key_of(KeyView private_key) noexcept {
    std::array<std::uint8_t, key_bytes> public_key;
    x25519_public_key(public_key, private_key);
    return public_key;
}

}  // namespace

Tunn::Tunn(KeyView static_private, KeyView peer_static_public, std::optional<KeyView> preshared_key,
           std::optional<std::uint16_t> persistent_keepalive, std::uint32_t index,
           std::shared_ptr<RateLimiter> rate_limiter)
    : Tunn(StaticKeyPair{static_private, public_key_of(static_private)}, peer_static_public, preshared_key,
           persistent_keepalive, index, std::move(rate_limiter)) {}

Tunn::Tunn(StaticKeyPair static_keys, KeyView peer_static_public, std::optional<KeyView> preshared_key,
           std::optional<std::uint16_t> persistent_keepalive, std::uint32_t index,
           std::shared_ptr<RateLimiter> rate_limiter)
    : state_(std::make_unique<TunnelState>(static_keys, peer_static_public, preshared_key, persistent_keepalive,
                                           index, std::move(rate_limiter))) {}

Tunn::~Tunn() = default;
Tunn::Tunn(Tunn&&) noexcept = default;
Tunn& Tunn::operator=(Tunn&&) noexcept = default;

TunnResult Tunn::format_handshake_initiation(std::span<std::uint8_t> dst, bool force) {
    return state_->initiate(dst, force, Clock::now());
}

TunnResult Tunn::decapsulate(std::optional<IpAddress> src, std::span<const std::uint8_t> datagram,
                             std::span<std::uint8_t> dst) {
    const Instant now = Clock::now();
    if (datagram.size() < type_bytes) return TunnResult::err(WireGuardError::InvalidPacket);
    switch (load_le32(datagram, type_offset)) {
        case static_cast<std::uint32_t>(MessageType::HandshakeInitiation):
            if (datagram.size() != initiation::size) break;
            return state_->on_initiation(src, datagram.first<initiation::size>(), dst, now);
        case static_cast<std::uint32_t>(MessageType::HandshakeResponse):
            if (datagram.size() != response::size) break;
            return state_->on_response(src, datagram.first<response::size>(), dst, now);
        case static_cast<std::uint32_t>(MessageType::CookieReply):
            if (datagram.size() != cookie_reply::size) break;
            return state_->on_cookie_reply(datagram.first<cookie_reply::size>(), now);
        case static_cast<std::uint32_t>(MessageType::TransportData):
            if (datagram.size() < transport::min_size) break;
            return state_->on_transport(datagram, dst, now);
        default:
            break;
    }
    return TunnResult::err(WireGuardError::InvalidPacket);
}

TunnResult Tunn::encapsulate(std::span<const std::uint8_t> packet, std::span<std::uint8_t> dst) {
    const Instant now = Clock::now();
    auto& current = state_->current;
    if (current && current->expired(now)) current.reset();
    if (!current) return state_->initiate(dst, false, now);
    auto size = current->seal(packet, dst);
    if (!size) return TunnResult::err(size.error());
    return TunnResult::write_to_network(dst.first(*size));
}

std::array<std::uint8_t, 32> Tunn::static_public_key() const noexcept { return state_->identity.public_key; }

std::optional<std::uint16_t> Tunn::persistent_keepalive() const noexcept { return state_->persistent_keepalive; }

}  // namespace quorlin::wireguard
