// Plays a server from fuzzed bytes against an open TcpConnection: segments
// built from fuzzed fields (any sequence and acknowledgment number, flags,
// window, payload), raw packets, and the application's own receive and send
// calls in between, on a link whose clock jumps to each wait's end. What must
// hold: receive() fills no more than it was given, nothing past the receive
// limit is taken, every segment sent is well formed, and every call returns.

#include "packet/tcp.hpp"
#include "probe/inner_link.hpp"
#include "probe/tcp_connection.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

using namespace quorlin;
using namespace std::chrono_literals;

const Ipv4Octets server{10, 0, 0, 1};
const Ipv4Octets client{10, 0, 0, 2};
constexpr std::uint16_t port = 443;

struct Input {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;

    bool empty() const { return at >= size; }
    std::uint8_t byte() { return at < size ? data[at++] : 0; }
    std::uint16_t u16() { return static_cast<std::uint16_t>(byte() << 8 | byte()); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(u16()) << 16 | u16(); }
    std::vector<std::uint8_t> bytes(std::size_t n) {
        n = std::min(n, size - std::min(at, size));
        std::vector<std::uint8_t> out(data + at, data + at + n);
        at += n;
        return out;
    }
};

class FuzzLink final : public InnerLink {
public:
    std::uint32_t server_isn = 0;
    std::uint16_t window = 0;
    std::uint16_t mss = 0;
    std::uint32_t client_isn = 0;
    std::uint16_t client_port = 0;
    std::vector<std::vector<std::uint8_t>> inbox;

    std::expected<void, std::string> send(std::span<const std::uint8_t> packet, Instant) override {
        const auto segment = read_tcp(packet, client, server);
        if (!segment || segment->header.source_port < 32768 || segment->header.destination_port != port) std::abort();
        if (segment->payload.size() > 1380) std::abort();
        if (segment->header.has(tcp_flag::syn)) {
            client_isn = segment->header.sequence;
            client_port = segment->header.source_port;
            const TcpHeader answer{port, client_port, server_isn, client_isn + 1,
                                   tcp_flag::syn | tcp_flag::ack, window, mss};
            inbox.push_back(tcp_packet(server, client, 1, answer));
        }
        return {};
    }
    std::expected<std::optional<std::vector<std::uint8_t>>, std::string> receive(Instant until) override {
        if (inbox.empty()) {
            now_ = std::max(now_, until);
            return std::nullopt;
        }
        auto packet = std::move(inbox.front());
        inbox.erase(inbox.begin());
        return packet;
    }
    Instant now() const override { return now_; }

private:
    Instant now_ = Clock::now();
};

void check_receive(TcpConnection& connection, FuzzLink& link, std::size_t room) {
    std::vector<std::uint8_t> out(std::max<std::size_t>(room, 1));
    const auto got = connection.receive(out, link.now() + 3s);
    if (got && *got > out.size()) std::abort();
    if (connection.payload_bytes_received() > tcp_receive_limit_bytes) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input input{data, size};
    FuzzLink link;
    link.server_isn = input.u32();
    link.window = input.u16();
    link.mss = input.u16();
    TcpConnection connection(link, Ipv4Address{client}, TcpTarget{Ipv4Address{server}, port}, 1380);
    if (!connection.open(link.now() + 10s, 0ms)) std::abort();
    while (!input.empty()) {
        switch (input.byte() % 4) {
            case 0: {  // a segment from fuzzed fields, near the stream unless the fuzzer says otherwise
                TcpHeader h{port, link.client_port, link.server_isn + 1 + input.u32(), link.client_isn + 1 + input.u32(),
                            input.byte(), input.u16()};
                const std::vector<std::uint8_t> payload = input.bytes(input.u16() % 2048);
                link.inbox.push_back(tcp_packet(server, client, 1, h, payload));
                break;
            }
            case 1:  // raw bytes as an inner packet
                link.inbox.push_back(input.bytes(input.byte()));
                break;
            case 2:
                check_receive(connection, link, input.byte());
                break;
            case 3:
                (void)connection.send(input.bytes(input.u16() % 4096), link.now() + 3s);
                break;
        }
    }
    for (int i = 0; i < 4 && !connection.readable(); ++i) check_receive(connection, link, 4096);
    connection.close();
    return 0;
}
