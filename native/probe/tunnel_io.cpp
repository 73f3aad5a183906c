#include "probe/tunnel_io.hpp"

#include "wireguard/errors.hpp"

namespace quorlin {

using wireguard::TunnResult;
using Kind = TunnResult::Kind;

bool is_message(std::span<const std::uint8_t> datagram, wireguard::MessageType type, std::size_t size) noexcept {
    return datagram.size() == size &&
           wireguard::load_le32(datagram, wireguard::type_offset) == static_cast<std::uint32_t>(type);
}

TunnelSend seal_and_send(UdpSocket& socket, wireguard::Tunn& tunnel, std::span<const std::uint8_t> packet,
                         std::span<std::uint8_t> output, Instant until) {
    const TunnResult encrypted = tunnel.encapsulate(packet, output);
    if (encrypted.kind == Kind::Err) {
        return {TunnelSend::Kind::failed, 0,
                "WireGuard encapsulation error: " + std::string(wireguard::error_name(encrypted.error))};
    }
    if (encrypted.kind != Kind::WriteToNetwork) {
        return {TunnelSend::Kind::failed, 0, "WireGuard session did not encrypt the data packet"};
    }
    const IoOutcome sent = send(socket, encrypted.packet, until);
    switch (sent.kind) {
        case IoOutcome::Kind::done: return {TunnelSend::Kind::sent, sent.bytes};
        case IoOutcome::Kind::deadline: return {TunnelSend::Kind::expired};
        case IoOutcome::Kind::failed: break;
    }
    return {TunnelSend::Kind::failed, 0, "could not send encrypted packet: " + sent.error_text, sent.error_number};
}

OpenedDatagram open_datagram(UdpSocket& socket, wireguard::Tunn& tunnel, const wireguard::IpAddress& source,
                             std::span<const std::uint8_t> datagram, std::span<std::uint8_t> output,
                             Instant reply_until) {
    const TunnResult result = tunnel.decapsulate(source, datagram, output);
    switch (result.kind) {
        case Kind::WriteToNetwork: {
            const IoOutcome reply = send(socket, result.packet, reply_until);
            if (reply.kind == IoOutcome::Kind::failed) {
                return {OpenedDatagram::Kind::failed, {}, 0, false,
                        "could not send WireGuard protocol packet: " + reply.error_text};
            }
            if (reply.kind == IoOutcome::Kind::deadline) return {OpenedDatagram::Kind::expired};
            const bool new_session =
                is_message(datagram, wireguard::MessageType::HandshakeResponse, wireguard::response::size);
            return {OpenedDatagram::Kind::answered, {}, reply.bytes, new_session};
        }
        case Kind::WriteToTunnelV4:
        case Kind::WriteToTunnelV6:
            return {OpenedDatagram::Kind::inner_packet, result.packet};
        case Kind::Err:
        case Kind::Done:
            break;
    }
    return {OpenedDatagram::Kind::dropped};
}

}  // namespace quorlin
