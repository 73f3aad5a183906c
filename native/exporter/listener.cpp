#include "exporter/listener.hpp"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

namespace quorlin::exporter {

namespace {

constexpr int listen_backlog = 1024;

}  // namespace

std::expected<OwnedFd, int> open_listener(const SocketAddress& where) {
    OwnedFd fd(::socket(where.family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0) return std::unexpected(errno);
    const int on = 1;
    const int off = 0;
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) return std::unexpected(errno);
    if (!where.is_ipv4() && ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0) {
        return std::unexpected(errno);
    }
    if (::bind(fd.get(), where.as_sockaddr(), where.length()) != 0 || ::listen(fd.get(), listen_backlog) != 0) {
        return std::unexpected(errno);
    }
    return fd;
}

std::string bound_address(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return "?";
    const auto bound = SocketAddress::from_sockaddr(reinterpret_cast<const sockaddr*>(&address), length);
    return bound ? bound->to_text() : "?";
}

}  // namespace quorlin::exporter
