#pragma once
// The real local peer the probe benchmarks run against, and the clients
// they probe it with: many keys in rotation, each paced, since the peer
// ignores an initiation that follows the previous one from its key too closely.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench_stats.hpp"
#include "common/random.hpp"
#include "common/secret.hpp"
#include "config/base64_key.hpp"
#include "config/keys.hpp"
#include "peer/peer_harness.hpp"

namespace quorlin::bench {

using namespace std::chrono_literals;

struct Client {
    X25519StaticSecret private_key;
    PublicKey public_key;
    std::string address;  // "10.99.0.N/32"
    Instant last_handshake{};
};

inline Client new_client(const std::string& address) {
    SecretArray<32> bytes;
    fill_random(bytes.span());
    X25519StaticSecret secret(bytes.view());
    const PublicKey public_key = secret.public_key();
    return Client{std::move(secret), public_key, address};
}

// The peer ignores an initiation from a client that follows the previous
// one too closely (its log calls it a handshake flood); each client waits
// this long between handshakes, and the probes rotate over many clients.
inline constexpr auto client_spacing = 25ms;
inline constexpr std::size_t client_count = 64;

inline void pace(Client& client) {
    std::this_thread::sleep_until(client.last_handshake + client_spacing);
    client.last_handshake = Clock::now();
}

struct Peer {
    peer::RealPeer real;
    PublicKey public_key;
    std::vector<Client> clients;
};

// The harness's peer knows one client; the others are added with `wg`.
inline std::optional<Peer> start_peer(std::size_t client_count) {
    auto started = peer::RealPeer::start();
    if (!started) {
        std::fprintf(stderr, "could not start the real peer: %s\n", started.error().c_str());
        return std::nullopt;
    }
    const auto peer_public = peer::decode_key(started->info().peer_public_key);
    if (!peer_public) {
        std::fprintf(stderr, "the peer's public key does not decode\n");
        return std::nullopt;
    }
    Peer peer{std::move(*started), *peer_public, {}};
    const peer::PeerInfo& info = peer.real.info();
    std::string command = "timeout 15 ip netns exec " + info.namespace_name + " wg set " + info.interface_name;
    for (std::size_t i = 0; i < client_count; ++i) {
        const std::string address = "10.99." + std::to_string(1 + i / 250) + "." + std::to_string(1 + i % 250) + "/32";
        Client client = new_client(address);
        command += " peer " + encode_base64_key(client.public_key) + " allowed-ips " + address;
        peer.clients.push_back(std::move(client));
    }
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "could not add the clients to the peer\n");
        return std::nullopt;
    }
    // The peer's replies to addresses outside its own /24 go back through its
    // tunnel interface too.
    const std::string route = "timeout 15 ip -n " + info.namespace_name + " route add 10.99.0.0/16 dev " +
                              info.interface_name;
    if (client_count > 0 && std::system(route.c_str()) != 0) {
        std::fprintf(stderr, "could not route the clients' addresses in the peer's namespace\n");
        return std::nullopt;
    }
    return peer;
}

}  // namespace quorlin::bench
