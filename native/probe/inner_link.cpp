#include "probe/inner_link.hpp"

#include "probe/tunnel_io.hpp"

namespace quorlin {

TunnelLink::TunnelLink(UdpSocket& socket, const SocketAddress& endpoint, wireguard::Tunn& tunnel)
    : socket_(socket), source_(wireguard::IpAddress::of(endpoint)), tunnel_(tunnel) {}

std::expected<void, std::string> TunnelLink::send(std::span<const std::uint8_t> packet, Instant until) {
    const TunnelSend sent = seal_and_send(socket_, tunnel_, packet, output_.span(), until);
    switch (sent.kind) {
        case TunnelSend::Kind::sent:
            sent_bytes_ += sent.bytes;
            return {};
        case TunnelSend::Kind::expired: return std::unexpected(std::string("the deadline passed before sending"));
        case TunnelSend::Kind::failed: break;
    }
    return std::unexpected(sent.message);
}

std::expected<std::optional<std::vector<std::uint8_t>>, std::string> TunnelLink::receive(Instant until) {
    for (;;) {
        const IoOutcome got = recv(socket_, receive_.span(), until);
        if (got.kind == IoOutcome::Kind::failed) {
            return std::unexpected("could not receive encrypted response: " + got.error_text);
        }
        if (got.kind == IoOutcome::Kind::deadline) return std::nullopt;
        received_bytes_ += got.bytes;
        const OpenedDatagram opened = open_datagram(
            socket_, tunnel_, source_, std::span<const std::uint8_t>(receive_.data(), got.bytes), output_.span(), until);
        switch (opened.kind) {
            case OpenedDatagram::Kind::failed: return std::unexpected(opened.message);
            case OpenedDatagram::Kind::expired: return std::nullopt;
            case OpenedDatagram::Kind::inner_packet:
                return std::vector<std::uint8_t>(opened.inner.begin(), opened.inner.end());
            case OpenedDatagram::Kind::answered:
                sent_bytes_ += opened.sent_bytes;
                if (opened.new_session) {
                    ++new_sessions_;
                    last_new_session_ = Clock::now();
                    return std::nullopt;
                }
                break;
            case OpenedDatagram::Kind::dropped: break;
        }
    }
}

}  // namespace quorlin
