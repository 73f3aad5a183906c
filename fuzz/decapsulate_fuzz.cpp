// Hostile datagrams into the tunnel's receive path. The first input byte picks
// how far the datagram gets: raw into a fresh tunnel or one with sessions,
// handshake messages carrying a valid mac1 (so decryption and the cookie path
// run), transport messages addressed to the live session, and arbitrary
// payloads sealed by the genuine peer (so the inner packet checks run).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "wireguard/cookie.hpp"
#include "wireguard/messages.hpp"
#include "wireguard/tunnel.hpp"

namespace {

using namespace quorlin;
using namespace quorlin::wireguard;

constexpr std::array<std::uint8_t, 32> alice_private = {0x77, 0x07, 0x6d, 0x0a, 0x73, 0x18, 0xa5, 0x7d,
                                                        0x3c, 0x16, 0xc1, 0x72, 0x51, 0xb2, 0x66, 0x45,
                                                        0xdf, 0x4c, 0x2f, 0x87, 0xeb, 0xc0, 0x99, 0x2a,
                                                        0xb1, 0x77, 0xfb, 0xa5, 0x1d, 0xb9, 0x2c, 0x2a};
constexpr std::array<std::uint8_t, 32> bob_private = {0x5d, 0xab, 0x08, 0x7e, 0x62, 0x4a, 0x8a, 0x4b,
                                                      0x79, 0xe1, 0x7f, 0x8b, 0x83, 0x80, 0x0e, 0xe6,
                                                      0x6f, 0x3b, 0xb1, 0x29, 0x26, 0x18, 0xb6, 0xfd,
                                                      0x1c, 0x2f, 0x8b, 0x27, 0xff, 0x88, 0xe0, 0xeb};
constexpr std::uint32_t alice_index = 0x100;
constexpr std::uint32_t bob_index = 0x200;

std::array<std::uint8_t, 32> public_of(const std::array<std::uint8_t, 32>& private_key) {
    std::array<std::uint8_t, 32> public_key{};
    x25519_public_key(public_key, private_key);
    return public_key;
}

class Loaded : public RateLimiter {
public:
    bool is_under_load(const std::optional<IpAddress>&, Instant) noexcept override { return true; }
};

const IpAddress source = IpAddress::v4(std::array<std::uint8_t, 4>{192, 0, 2, 7});

struct Pair {
    Tunn alice;
    Tunn bob;
    std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(65535);

    explicit Pair(std::shared_ptr<RateLimiter> bob_limiter = nullptr)
        : alice(alice_private, public_of(bob_private), std::nullopt, std::nullopt, alice_index),
          bob(bob_private, public_of(alice_private), std::nullopt, std::nullopt, bob_index, std::move(bob_limiter)) {}

    // Handshake plus keepalive, leaving both with a current session.
    void establish() {
        std::vector<std::uint8_t> other(65535);
        auto initiation = alice.format_handshake_initiation(buffer, false);
        auto response = bob.decapsulate(source, initiation.packet, other);
        auto keepalive = alice.decapsulate(source, response.packet, buffer);
        bob.decapsulate(source, keepalive.packet, other);
    }
};

void with_valid_mac1(std::vector<std::uint8_t>& message, MacLayout layout, KeyView receiver) {
    HeldCookie none;
    seal_macs(message, layout, MacKeys::for_receiver(receiver), none, Clock::now());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t mode = data[0] % 6;
    std::vector<std::uint8_t> datagram(data + 1, data + size);
    std::vector<std::uint8_t> out(65535);

    switch (mode) {
        case 0: {  // raw, into a fresh tunnel
            Pair pair;
            pair.bob.decapsulate(source, datagram, out);
            break;
        }
        case 1: {  // raw, into a tunnel with a session, then its normal traffic still flows
            Pair pair;
            pair.establish();
            pair.bob.decapsulate(source, datagram, out);
            pair.bob.decapsulate(std::nullopt, datagram, std::span(out).first(datagram.size() % 200));
            break;
        }
        case 2: {  // handshake messages with a valid mac1
            Pair pair(datagram.size() % 2 ? std::make_shared<Loaded>() : nullptr);
            const bool response = !datagram.empty() && datagram[0] & 1;
            datagram.resize(response ? response::size : initiation::size, 0);
            store_type(datagram, response ? MessageType::HandshakeResponse : MessageType::HandshakeInitiation);
            if (response) {
                pair.alice.format_handshake_initiation(out, false);
                store_le32(datagram, response::receiver_offset, alice_index);
                with_valid_mac1(datagram, response_macs, public_of(alice_private));
                pair.alice.decapsulate(source, datagram, out);
            } else {
                with_valid_mac1(datagram, initiation_macs, public_of(bob_private));
                pair.bob.decapsulate(source, datagram, out);
            }
            break;
        }
        case 3: {  // cookie replies addressed to an outstanding initiation
            Pair pair;
            pair.alice.format_handshake_initiation(out, false);
            datagram.resize(cookie_reply::size, 0);
            store_type(datagram, MessageType::CookieReply);
            store_le32(datagram, cookie_reply::receiver_offset, alice_index);
            pair.alice.decapsulate(source, datagram, out);
            break;
        }
        case 4: {  // transport messages addressed to the live session
            Pair pair;
            pair.establish();
            if (datagram.size() < transport::min_size) datagram.resize(transport::min_size, 0);
            store_type(datagram, MessageType::TransportData);
            store_le32(datagram, transport::receiver_offset, bob_index);
            pair.bob.decapsulate(source, datagram, out);
            break;
        }
        case 5: {  // arbitrary payloads sealed by the genuine peer
            Pair pair;
            pair.establish();
            std::vector<std::uint8_t> sealed(65535);
            auto message = pair.alice.encapsulate(datagram, sealed);
            if (message.kind == TunnResult::Kind::WriteToNetwork) {
                auto result = pair.bob.decapsulate(source, message.packet, out);
                if ((result.kind == TunnResult::Kind::WriteToTunnelV4 ||
                     result.kind == TunnResult::Kind::WriteToTunnelV6) &&
                    (result.packet.size() > message.packet.size() - transport::min_size ||
                     result.packet.data() != out.data())) {
                    __builtin_trap();  // an inner packet lies within the decrypted (padded) payload
                }
            }
            break;
        }
    }
    return 0;
}
