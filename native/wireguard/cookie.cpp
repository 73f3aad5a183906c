#include "wireguard/cookie.hpp"

#include <algorithm>

#include "common/random.hpp"

namespace quorlin::wireguard {

namespace {

bool same(std::span<const std::uint8_t, mac_bytes> a, std::span<const std::uint8_t, mac_bytes> b) noexcept {
    return equal_in_constant_time(a, b);
}

}  // namespace

MacKeys MacKeys::for_receiver(KeyView receiver_public_key) noexcept {
    MacKeys keys;
    hash(keys.mac1_key, {text_bytes(label_mac1), receiver_public_key});
    hash(keys.cookie_key, {text_bytes(label_cookie), receiver_public_key});
    return keys;
}

Mac mac1_of(std::span<const std::uint8_t> message, MacLayout layout) noexcept {
    Mac copy;
    std::copy_n(message.begin() + static_cast<std::ptrdiff_t>(layout.mac1_offset), mac_bytes, copy.begin());
    return copy;
}

bool mac1_valid(std::span<const std::uint8_t> message, MacLayout layout, const MacKeys& receiver) noexcept {
    Mac expected;
    mac(expected, receiver.mac1_key, {message.first(layout.mac1_offset)});
    return same(expected, message.subspan(layout.mac1_offset).first<mac_bytes>());
}

bool mac2_valid(std::span<const std::uint8_t> message, MacLayout layout,
                std::span<const std::uint8_t, cookie_bytes> cookie) noexcept {
    Mac expected;
    mac(expected, cookie, {message.first(layout.mac2_offset)});
    return same(expected, message.subspan(layout.mac2_offset).first<mac_bytes>());
}

void HeldCookie::store(std::span<const std::uint8_t, cookie_bytes> cookie, Instant received_at) noexcept {
    cookie_.assign(cookie);
    received_at_ = received_at;
}

std::optional<std::span<const std::uint8_t, cookie_bytes>> HeldCookie::fresh(Instant now) const noexcept {
    if (!received_at_ || now - *received_at_ >= cookie_max_age) return std::nullopt;
    return cookie_.view();
}

Mac seal_macs(std::span<std::uint8_t> message, MacLayout layout, const MacKeys& receiver, const HeldCookie& cookie,
              Instant now) noexcept {
    auto mac1_field = message.subspan(layout.mac1_offset).first<mac_bytes>();
    mac(mac1_field, receiver.mac1_key, {message.first(layout.mac1_offset)});
    auto mac2_field = message.subspan(layout.mac2_offset).first<mac_bytes>();
    if (const auto held = cookie.fresh(now)) {
        mac(mac2_field, *held, {message.first(layout.mac2_offset)});
    } else {
        std::fill(mac2_field.begin(), mac2_field.end(), 0);
    }
    return mac1_of(message, layout);
}

void CookieIssuer::cookie_for(std::span<std::uint8_t, cookie_bytes> cookie, const IpAddress& source,
                              Instant now) noexcept {
    if (!secret_born_ || now - *secret_born_ >= cookie_secret_max_age) {
        fill_random(secret_.span());
        secret_born_ = now;
    }
    mac(cookie, secret_.view(), {source.octets()});
}

void CookieIssuer::write_reply(std::span<std::uint8_t, cookie_reply::size> out, std::uint32_t receiver_index,
                               const Mac& message_mac1, const IpAddress& source, const MacKeys& own_keys,
                               Instant now) noexcept {
    std::fill(out.begin(), out.end(), 0);
    store_type(out, MessageType::CookieReply);
    store_le32(out, cookie_reply::receiver_offset, receiver_index);
    XNonce nonce;
    fill_random(nonce);
    std::copy(nonce.begin(), nonce.end(), out.begin() + cookie_reply::nonce_offset);
    SecretArray<cookie_bytes> cookie;
    cookie_for(cookie.span(), source, now);
    xaead_seal(out.subspan(cookie_reply::cookie_offset, cookie_reply::cookie_bytes), own_keys.cookie_key, nonce,
               cookie.view(), message_mac1);
}

std::expected<void, WireGuardError> open_cookie_reply(std::span<const std::uint8_t, cookie_reply::size> reply,
                                                      const MacKeys& peer_keys, const Mac& sent_mac1,
                                                      SecretArray<cookie_bytes>& cookie) noexcept {
    XNonce nonce;
    std::copy_n(reply.begin() + cookie_reply::nonce_offset, xnonce_bytes, nonce.begin());
    if (!xaead_open(cookie.span(), peer_keys.cookie_key, nonce,
                    reply.subspan(cookie_reply::cookie_offset, cookie_reply::cookie_bytes), sent_mac1)) {
        cookie.clear();
        return std::unexpected(WireGuardError::InvalidAeadTag);
    }
    return {};
}

}  // namespace quorlin::wireguard
