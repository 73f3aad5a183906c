#include "probe/udp_socket.hpp"

#include "common/os_error.hpp"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quorlin {

UdpSocket& UdpSocket::operator=(UdpSocket&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

void UdpSocket::close() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

std::expected<UdpSocket, int> open_probe_socket(const SocketAddress& endpoint) {
    const int fd = ::socket(endpoint.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::unexpected(errno);
    UdpSocket socket(fd);

    sockaddr_storage unspecified{};
    socklen_t unspecified_length = 0;
    if (endpoint.is_ipv4()) {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&unspecified);
        v4->sin_family = AF_INET;
        unspecified_length = sizeof(sockaddr_in);
    } else {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&unspecified);
        v6->sin6_family = AF_INET6;
        unspecified_length = sizeof(sockaddr_in6);
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&unspecified), unspecified_length) != 0) {
        return std::unexpected(errno);
    }
    if (::connect(fd, endpoint.as_sockaddr(), endpoint.length()) != 0) {
        const int error = errno;
        socket.close();
        return std::unexpected(error);
    }
    return socket;
}

int send_unfragmented(const UdpSocket& socket, int family) {
    constexpr int ip_probe_mode = IP_PMTUDISC_PROBE;
    constexpr int ipv6_probe_mode = IPV6_PMTUDISC_PROBE;
    const int ok = family == AF_INET
                       ? ::setsockopt(socket.fd(), IPPROTO_IP, IP_MTU_DISCOVER, &ip_probe_mode, sizeof ip_probe_mode)
                       : ::setsockopt(socket.fd(), IPPROTO_IPV6, IPV6_MTU_DISCOVER, &ipv6_probe_mode,
                                      sizeof ipv6_probe_mode);
    return ok == 0 ? 0 : errno;
}

std::optional<SocketAddress> local_address(const UdpSocket& socket) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (::getsockname(socket.fd(), reinterpret_cast<sockaddr*>(&storage), &length) != 0) return std::nullopt;
    return SocketAddress::from_sockaddr(reinterpret_cast<const sockaddr*>(&storage), length);
}

IoOutcome IoOutcome::failed(int error_number) {
    return {Kind::failed, 0, os_error_text(error_number), error_number};
}

namespace {

bool is_timeout(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == ETIMEDOUT; }

// Sets SO_SNDTIMEO or SO_RCVTIMEO to the time left; zero would mean "block
// forever", so a sub-microsecond remainder becomes 1 microsecond.
int set_timeout(int fd, int option, Duration remaining) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(remaining.secs);
    tv.tv_usec = static_cast<suseconds_t>(remaining.nanos / 1000);
    if (tv.tv_sec == 0 && tv.tv_usec == 0) tv.tv_usec = 1;
    return ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

// Runs one socket call bounded by `deadline` through the time-out `option`.
// A signal (a Python handler, a timer) interrupts the call with EINTR even
// under SA_RESTART, because the socket has a time-out: it is not a failure of
// ours, so the call is made again with whatever time is left. So is a time-out
// that fires before the deadline (the kernel keeps it in coarser units), so a
// wait never ends early.
template <typename Call>
IoOutcome bounded(UdpSocket& socket, int option, Instant deadline, Call call) {
    for (;;) {
        const Duration remaining = remaining_until(deadline, Clock::now());
        if (remaining.is_zero()) return IoOutcome::expired();
        if (set_timeout(socket.fd(), option, remaining) != 0) return IoOutcome::failed(errno);
        const ssize_t n = call();
        if (n >= 0) return IoOutcome::done(static_cast<std::size_t>(n));
        const int error = errno;
        if (error != EINTR && !is_timeout(error)) return IoOutcome::failed(error);
    }
}

}  // namespace

IoOutcome send(UdpSocket& socket, std::span<const std::uint8_t> bytes, Instant deadline) {
    return bounded(socket, SO_SNDTIMEO, deadline,
                   [&] { return ::send(socket.fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL); });
}

IoOutcome recv(UdpSocket& socket, std::span<std::uint8_t> buffer, Instant deadline) {
    return bounded(socket, SO_RCVTIMEO, deadline, [&] { return ::recv(socket.fd(), buffer.data(), buffer.size(), 0); });
}

}  // namespace quorlin
