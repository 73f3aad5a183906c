#include "peer/scripted_peer.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "common/os_error.hpp"

namespace quorlin::peer {

namespace {

constexpr std::size_t max_datagram = 65535;

std::expected<std::optional<ScriptedPeer::Datagram>, std::string> read_one(int fd, int flags) {
    std::vector<std::uint8_t> buffer(max_datagram);
    sockaddr_storage from{};
    socklen_t from_length = sizeof from;
    for (;;) {
        const ssize_t n = ::recvfrom(fd, buffer.data(), buffer.size(), flags, reinterpret_cast<sockaddr*>(&from),
                                     &from_length);
        if (n >= 0) {
            auto address = SocketAddress::from_sockaddr(reinterpret_cast<sockaddr*>(&from), from_length);
            if (!address) return std::unexpected(std::string("datagram from an address that is not IP"));
            buffer.resize(static_cast<std::size_t>(n));
            return ScriptedPeer::Datagram{std::move(buffer), *address};
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return std::nullopt;
        return std::unexpected("recvfrom: " + os_error_text(errno));
    }
}

}  // namespace

std::expected<ScriptedPeer, std::string> ScriptedPeer::open(int family) {
    if (family != AF_INET && family != AF_INET6) return std::unexpected(std::string("family must be AF_INET or AF_INET6"));
    const int fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::unexpected("socket: " + os_error_text(errno));
    sockaddr_storage local{};
    socklen_t length = 0;
    if (family == AF_INET) {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&local);
        v4->sin_family = AF_INET;
        v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof *v4;
    } else {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&local);
        v6->sin6_family = AF_INET6;
        v6->sin6_addr = in6addr_loopback;
        length = sizeof *v6;
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), length) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        const int saved = errno;
        ::close(fd);
        return std::unexpected("binding the scripted peer: " + os_error_text(saved));
    }
    auto address = SocketAddress::from_sockaddr(reinterpret_cast<sockaddr*>(&local), length);
    return ScriptedPeer(fd, *address);
}

ScriptedPeer::ScriptedPeer(ScriptedPeer&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), address_(other.address_) {}

ScriptedPeer::~ScriptedPeer() {
    if (fd_ >= 0) ::close(fd_);
}

std::expected<std::optional<ScriptedPeer::Datagram>, std::string> ScriptedPeer::receive(
    std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        left = std::max(left, std::chrono::milliseconds(0));
        pollfd p{fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 60'000)));
        if (ready < 0 && errno != EINTR) return std::unexpected("poll: " + os_error_text(errno));
        if (ready > 0) {
            auto datagram = read_one(fd_, MSG_DONTWAIT);
            if (!datagram || *datagram) return datagram;
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    }
}

std::vector<ScriptedPeer::Datagram> ScriptedPeer::drain() {
    std::vector<Datagram> all;
    for (;;) {
        auto datagram = read_one(fd_, MSG_DONTWAIT);
        if (!datagram || !*datagram) return all;
        all.push_back(std::move(**datagram));
    }
}

std::expected<void, std::string> ScriptedPeer::send_to(std::span<const std::uint8_t> bytes, const SocketAddress& to) {
    const ssize_t n = ::sendto(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL, to.as_sockaddr(), to.length());
    if (n < 0) return std::unexpected("sendto: " + os_error_text(errno));
    if (static_cast<std::size_t>(n) != bytes.size()) return std::unexpected(std::string("short send"));
    return {};
}

}  // namespace quorlin::peer
