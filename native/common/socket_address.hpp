#pragma once
// An IPv4 or IPv6 socket address with port (IPv6 keeps flow information and
// scope identifier as the system gave them).

#include <netinet/in.h>
#include <sys/socket.h>

#include <optional>
#include <string>
#include <variant>

namespace quorlin {

class SocketAddress {
public:
    explicit SocketAddress(const sockaddr_in& v4) noexcept : address_(v4) {}
    explicit SocketAddress(const sockaddr_in6& v6) noexcept : address_(v6) {}
    // Copies an AF_INET or AF_INET6 address; anything else gives nullopt.
    static std::optional<SocketAddress> from_sockaddr(const sockaddr* address, socklen_t length) noexcept;

    bool is_ipv4() const noexcept { return std::holds_alternative<sockaddr_in>(address_); }
    int family() const noexcept { return is_ipv4() ? AF_INET : AF_INET6; }
    const sockaddr* as_sockaddr() const noexcept;
    socklen_t length() const noexcept;
    const sockaddr_in* ipv4() const noexcept { return std::get_if<sockaddr_in>(&address_); }
    const sockaddr_in6* ipv6() const noexcept { return std::get_if<sockaddr_in6>(&address_); }

    // Standard text form: "a.b.c.d:port", or "[compressed-ipv6]:port" with
    // "%scope" inside the brackets when the scope identifier is non-zero.
    std::string to_text() const;

private:
    std::variant<sockaddr_in, sockaddr_in6> address_;
};

}  // namespace quorlin
