#pragma once
// A folder of real files for the fleet reader's tests: a client key, a
// configuration using it, and a fleet text written beside them.

#include "config/test_keys.hpp"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quorlin::fleet::test {

// The client is Alice and the peer Bob; Alice's public key stands in for
// another peer.
inline constexpr std::string_view private_key = test_keys::alice_private;
inline constexpr std::string_view peer_key = test_keys::bob_public;
inline constexpr std::string_view other_peer_key = test_keys::alice_public;

class FleetFolder {
public:
    FleetFolder() {
        char pattern[] = "/tmp/quorlin-fleet-test-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        if (made == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = made;
        write("client.key", std::string(private_key) + "\n");
        write("wg0.conf", "[Interface]\nPrivateKey = " + std::string(private_key) +
                              "\nAddress = 10.0.0.2/32\nDNS = 10.0.0.1\n\n[Peer]\nPublicKey = " + std::string(peer_key) +
                              "\nEndpoint = 127.0.0.1:9\nAllowedIPs = 10.0.0.0/24\n");
    }
    FleetFolder(const FleetFolder&) = delete;
    FleetFolder& operator=(const FleetFolder&) = delete;
    ~FleetFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }

    const std::string& path() const { return path_; }
    std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

    void write(std::string_view name, const std::string& text) const {
        std::ofstream out(file(name), std::ios::binary);
        out << text;
    }

private:
    std::string path_;
};

}  // namespace quorlin::fleet::test
