// Figures for the WireGuard engine, in process, measured side by side in one
// run: what one initiator handshake costs set against the X25519 work it
// cannot avoid (called through libsodium directly), and transport throughput
// for a large and a small packet set against the bare AEAD. Our own
// responder tunnel answers; nothing touches a socket. Everything is printed;
// nothing here passes or fails on a time.
//
//   wireguard_bench [--handshakes N] [--packets N]

#include <sodium.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "bench_stats.hpp"
#include "common/random.hpp"
#include "common/secret.hpp"
#include "packet/ipv4.hpp"
#include "wireguard/errors.hpp"
#include "wireguard/tunnel.hpp"
#include "x25519_floor.hpp"

namespace quorlin::bench {
namespace {

using wireguard::IpAddress;
using wireguard::Tunn;
using wireguard::TunnResult;
using Kind = TunnResult::Kind;

// ---------------------------------------------------------------- tunnels

struct KeyPair {
    SecretArray<32> private_key;
    std::array<std::uint8_t, 32> public_key{};
};

KeyPair new_key_pair() {
    KeyPair pair;
    fill_random(pair.private_key.span());
    crypto_scalarmult_base(pair.public_key.data(), pair.private_key.data());
    return pair;
}

const IpAddress initiator_address = IpAddress::v4(std::array<std::uint8_t, 4>{127, 0, 0, 1});
const IpAddress responder_address = IpAddress::v4(std::array<std::uint8_t, 4>{127, 0, 0, 2});

struct Keys {
    KeyPair initiator = new_key_pair();
    KeyPair responder = new_key_pair();

    Tunn new_initiator() const {
        return Tunn(initiator.private_key.view(), responder.public_key, std::nullopt, std::nullopt, random_u32());
    }
    Tunn new_responder() const {
        return Tunn(responder.private_key.view(), initiator.public_key, std::nullopt, std::nullopt, random_u32());
    }
};

// A datagram buffer, as the session code uses one per call.
struct Buffer {
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(2048);
    operator std::span<std::uint8_t>() { return bytes; }
};

// A result that is not the expected one ends the benchmark: timing a failing
// path would print figures for work that was never done.
bool expect(const TunnResult& result, Kind kind, std::size_t size, const char* step) {
    if (result.kind == kind && result.packet.size() == size) return true;
    if (result.kind == Kind::Err) {
        std::fprintf(stderr, "%s failed: %s\n", step, std::string(wireguard::error_name(result.error)).c_str());
    } else {
        std::fprintf(stderr, "%s gave an unexpected result (kind %d, %zu bytes)\n", step,
                     static_cast<int>(result.kind), result.packet.size());
    }
    return false;
}

// ---------------------------------------------------------------- handshakes

struct HandshakeTimes {
    std::vector<double> construct_us;   // Tunn constructor of the initiator (fresh tunnels only)
    std::vector<double> initiation_us;  // format_handshake_initiation
    std::vector<double> response_us;    // the initiator's decapsulate of the response
    std::vector<double> initiator_us;   // all of the initiator's calls above
    std::vector<double> responder_us;   // the responder's decapsulate of the initiation
};

// One handshake to the end (the keepalive reaches the responder). Only the
// initiator's calls count as the initiator's time.
bool timed_handshake(Tunn& initiator, Tunn& responder, HandshakeTimes& times,
                     std::optional<double> construct_us = std::nullopt) {
    Buffer a, b;
    const Instant t0 = Clock::now();
    const TunnResult initiation = initiator.format_handshake_initiation(a, true);
    const Instant t1 = Clock::now();
    if (!expect(initiation, Kind::WriteToNetwork, 148, "format_handshake_initiation")) return false;
    const TunnResult response = responder.decapsulate(initiator_address, initiation.packet, b);
    const Instant t2 = Clock::now();
    if (!expect(response, Kind::WriteToNetwork, 92, "the responder's decapsulate")) return false;
    const TunnResult keepalive = initiator.decapsulate(responder_address, response.packet, a);
    const Instant t3 = Clock::now();
    if (!expect(keepalive, Kind::WriteToNetwork, 32, "the initiator's decapsulate")) return false;
    if (!expect(responder.decapsulate(initiator_address, keepalive.packet, b), Kind::Done, 0, "the keepalive")) {
        return false;
    }
    if (construct_us) times.construct_us.push_back(*construct_us);
    times.initiation_us.push_back(us_between(t0, t1));
    times.response_us.push_back(us_between(t2, t3));
    times.initiator_us.push_back(construct_us.value_or(0) + us_between(t0, t1) + us_between(t2, t3));
    times.responder_us.push_back(us_between(t1, t2));
    return true;
}

// Repeated handshakes on one pair of tunnels (the static DH is already done).
std::optional<HandshakeTimes> repeated_handshakes(const Keys& keys, std::size_t rounds) {
    HandshakeTimes times;
    Tunn initiator = keys.new_initiator();
    Tunn responder = keys.new_responder();
    for (std::size_t i = 0; i < rounds; ++i) {
        if (!timed_handshake(initiator, responder, times)) return std::nullopt;
    }
    return times;
}

// A new initiator tunnel for every handshake, as every probe builds one.
std::optional<HandshakeTimes> fresh_tunnel_handshakes(const Keys& keys, std::size_t rounds) {
    HandshakeTimes times;
    Tunn responder = keys.new_responder();
    for (std::size_t i = 0; i < rounds; ++i) {
        const Instant start = Clock::now();
        Tunn initiator = keys.new_initiator();
        const double construct_us = us_between(start, Clock::now());
        if (!timed_handshake(initiator, responder, times, construct_us)) return std::nullopt;
    }
    return times;
}

// ---------------------------------------------------------------- transport

struct TransportTimes {
    std::vector<double> encapsulate_ns;  // per packet, one figure per batch
    std::vector<double> decapsulate_ns;
    std::vector<double> aead_ns;  // seal + open of the same padded size, libsodium directly
};

constexpr std::size_t batch_packets = 256;

// An IPv4/UDP packet of exactly `total_bytes`, as the responder will accept it.
std::vector<std::uint8_t> inner_packet(std::size_t total_bytes) {
    std::vector<std::uint8_t> payload(total_bytes - ipv4_header_bytes);
    fill_random(payload);
    return ipv4_packet({10, 99, 0, 2}, {10, 99, 0, 1}, ip_protocol_udp, 1, payload);
}

// Batches of packets: the initiator seals a whole batch, then the responder
// opens it, so each direction is timed on its own.
std::optional<TransportTimes> transport(Tunn& initiator, Tunn& responder, std::size_t packet_bytes,
                                        std::size_t packets) {
    const std::vector<std::uint8_t> packet = inner_packet(packet_bytes);
    const std::size_t padded = (packet_bytes + 15) / 16 * 16;
    const std::size_t datagram_bytes = 16 + padded + 16;  // header, padded payload, tag
    std::vector<Buffer> datagrams(batch_packets);
    Buffer out;
    TransportTimes times;
    for (std::size_t done = 0; done < packets; done += batch_packets) {
        Instant start = Clock::now();
        for (Buffer& datagram : datagrams) {
            if (!expect(initiator.encapsulate(packet, datagram), Kind::WriteToNetwork, datagram_bytes, "encapsulate")) {
                return std::nullopt;
            }
        }
        times.encapsulate_ns.push_back(1000 * us_between(start, Clock::now()) / batch_packets);
        start = Clock::now();
        for (Buffer& datagram : datagrams) {
            const auto sealed = std::span<const std::uint8_t>(datagram.bytes).first(datagram_bytes);
            if (!expect(responder.decapsulate(initiator_address, sealed, out), Kind::WriteToTunnelV4, packet_bytes,
                        "decapsulate")) {
                return std::nullopt;
            }
        }
        times.decapsulate_ns.push_back(1000 * us_between(start, Clock::now()) / batch_packets);
    }

    // The floor: the transport AEAD over the same padded payload.
    SecretArray<crypto_aead_chacha20poly1305_ietf_KEYBYTES> key;
    fill_random(key.span());
    std::array<std::uint8_t, crypto_aead_chacha20poly1305_ietf_NPUBBYTES> nonce{};
    std::vector<std::uint8_t> plain(padded);
    std::copy(packet.begin(), packet.end(), plain.begin());
    std::vector<std::uint8_t> sealed(padded + crypto_aead_chacha20poly1305_ietf_ABYTES);
    std::vector<std::uint8_t> opened(padded);
    for (std::size_t done = 0; done < packets; done += batch_packets) {
        const Instant start = Clock::now();
        for (std::size_t i = 0; i < batch_packets; ++i) {
            ++nonce[4];
            crypto_aead_chacha20poly1305_ietf_encrypt(sealed.data(), nullptr, plain.data(), plain.size(), nullptr, 0,
                                                      nullptr, nonce.data(), key.data());
            if (crypto_aead_chacha20poly1305_ietf_decrypt(opened.data(), nullptr, nullptr, sealed.data(),
                                                          sealed.size(), nullptr, 0, nonce.data(), key.data()) != 0) {
                std::fprintf(stderr, "the bare AEAD did not open its own message\n");
                return std::nullopt;
            }
        }
        times.aead_ns.push_back(1000 * us_between(start, Clock::now()) / batch_packets);
    }
    return times;
}

// ---------------------------------------------------------------- main

void print_rate(const char* what, double ns_per_packet, std::size_t packet_bytes) {
    std::printf("  %-50s median %9.1f ns/packet  %9.0f packets/s  %8.1f MB/s of inner packets\n", what,
                ns_per_packet, 1e9 / ns_per_packet, static_cast<double>(packet_bytes) * 1e3 / ns_per_packet);
}

int run(int argc, char** argv) {
    check_arguments(argc, argv);
    const std::size_t handshakes = count_argument(argc, argv, "--handshakes", 2000);
    const std::size_t packets = count_argument(argc, argv, "--packets", 200'000);

    std::printf("quorlin WireGuard engine benchmarks (figures, never pass/fail)\n\n");

    std::printf("X25519 through libsodium, called directly\n");
    const X25519Cost x25519 = measure_x25519(std::max<std::size_t>(handshakes, 300));
    print_x25519_cost(x25519);

    const Keys keys;
    std::printf("\none handshake, in process against our own responder tunnel (%zu handshakes each)\n", handshakes);
    const auto repeated = repeated_handshakes(keys, handshakes);
    const auto fresh = fresh_tunnel_handshakes(keys, handshakes);
    if (!repeated || !fresh) return 1;
    const Summary initiation = summarize(repeated->initiation_us);
    const Summary response = summarize(repeated->response_us);
    const Summary initiator = summarize(repeated->initiator_us);
    const Summary responder = summarize(repeated->responder_us);
    const Summary construct = summarize(fresh->construct_us);
    const Summary fresh_initiator = summarize(fresh->initiator_us);
    print_summary("format_handshake_initiation", initiation, "us");
    print_summary("decapsulate(response), keepalive written", response, "us");
    print_summary("initiator, both messages", initiator, "us");
    print_summary("responder, decapsulate(initiation)", responder, "us");
    print_summary("new initiator Tunn (own public key, static DH)", construct, "us");
    print_summary("new initiator Tunn + both messages (as a probe)", fresh_initiator, "us");

    std::printf("\ntransport, initiator seals and responder opens (%zu packets per size, batches of %zu)\n", packets,
                batch_packets);
    // A confirmed session: the responder has seen the keepalive.
    Tunn initiator_tunnel = keys.new_initiator();
    Tunn responder_tunnel = keys.new_responder();
    HandshakeTimes unused;
    if (!timed_handshake(initiator_tunnel, responder_tunnel, unused)) return 1;
    struct SizeFigures {
        std::size_t bytes;
        double both_ns;
        double aead_ns;
    };
    std::vector<SizeFigures> sizes;
    for (const std::size_t bytes : {std::size_t{1400}, std::size_t{64}}) {
        const auto times = transport(initiator_tunnel, responder_tunnel, bytes, packets);
        if (!times) return 1;
        const double encapsulate = summarize(times->encapsulate_ns).median;
        const double decapsulate = summarize(times->decapsulate_ns).median;
        const double aead = summarize(times->aead_ns).median;
        const std::string size = std::to_string(bytes) + "-byte packet: ";
        print_rate((size + "encapsulate").c_str(), encapsulate, bytes);
        print_rate((size + "decapsulate").c_str(), decapsulate, bytes);
        print_rate((size + "encapsulate + decapsulate").c_str(), encapsulate + decapsulate, bytes);
        print_rate((size + "bare AEAD seal + open").c_str(), aead, bytes);
        sizes.push_back({bytes, encapsulate + decapsulate, aead});
    }

    std::printf("\nratios (medians)\n");
    print_ratio("initiator handshake / 4 DH", initiator.median, x25519.four_dh_us());
    print_ratio("initiator handshake / its X25519 (1 base + 3 DH)", initiator.median,
                x25519.scalarmult_base_us + 3 * x25519.scalarmult_us);
    print_ratio("new Tunn + handshake / 4 DH", fresh_initiator.median, x25519.four_dh_us());
    print_ratio("new Tunn + handshake / its X25519 (2 base + 4 DH)", fresh_initiator.median,
                2 * x25519.scalarmult_base_us + x25519.four_dh_us());
    print_ratio("responder / initiator (both messages)", responder.median, initiator.median);
    for (const SizeFigures& s : sizes) {
        const std::string what = std::to_string(s.bytes) + "-byte encapsulate + decapsulate / bare AEAD";
        print_ratio(what.c_str(), s.both_ns, s.aead_ns);
    }
    return 0;
}

}  // namespace
}  // namespace quorlin::bench

int main(int argc, char** argv) { return quorlin::bench::run(argc, argv); }
