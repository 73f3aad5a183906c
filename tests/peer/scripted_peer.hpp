#pragma once
// A UDP socket that a test drives by hand in place of a peer: left alone it
// reads nothing back and answers nothing (a silent peer); a test can also read
// what arrived and send whatever it likes (wrong sizes, forged types).

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/socket_address.hpp"

namespace quorlin::peer {

class ScriptedPeer {
public:
    struct Datagram {
        std::vector<std::uint8_t> bytes;
        SocketAddress from;
    };

    // Bound to 127.0.0.1 (AF_INET) or ::1 (AF_INET6), port chosen by the system,
    // in the calling thread's network namespace.
    static std::expected<ScriptedPeer, std::string> open(int family);

    ScriptedPeer(ScriptedPeer&& other) noexcept;
    ScriptedPeer& operator=(ScriptedPeer&&) = delete;
    ScriptedPeer(const ScriptedPeer&) = delete;
    ~ScriptedPeer();

    const SocketAddress& address() const { return address_; }
    std::string endpoint_text() const { return address_.to_text(); }

    // The next datagram, waiting at most `timeout`; nullopt if none came.
    std::expected<std::optional<Datagram>, std::string> receive(std::chrono::milliseconds timeout);
    // Everything that has arrived so far, without waiting.
    std::vector<Datagram> drain();
    std::expected<void, std::string> send_to(std::span<const std::uint8_t> bytes, const SocketAddress& to);

private:
    ScriptedPeer(int fd, SocketAddress address) : fd_(fd), address_(address) {}

    int fd_ = -1;
    SocketAddress address_;
};

}  // namespace quorlin::peer
