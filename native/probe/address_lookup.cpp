#include "probe/address_lookup.hpp"

#include <netdb.h>

#include <cerrno>
#include <memory>
#include <utility>

#include "common/os_error.hpp"

namespace quorlin {

namespace {

ResolveError lookup_failure(int code, int saved_errno) {
    std::string message = "failed to lookup address information: ";
    if (code == EAI_SYSTEM) {
        return {message + os_error_text(saved_errno), FailureCause{FailureCause::Kind::os_error, saved_errno}};
    }
    return {message + gai_strerror(code), FailureCause{FailureCause::Kind::lookup_error, code}};
}

}  // namespace

SocketAddress with_port(const SocketAddress& address, std::uint16_t port) noexcept {
    if (const sockaddr_in* v4 = address.ipv4()) {
        sockaddr_in copy = *v4;
        copy.sin_port = htons(port);
        return SocketAddress(copy);
    }
    sockaddr_in6 copy = *address.ipv6();
    copy.sin6_port = htons(port);
    return SocketAddress(copy);
}

ResolveOutcome lookup_first_address(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    errno = 0;
    const int code = getaddrinfo(host.c_str(), nullptr, &hints, &list);
    const int saved_errno = errno;
    if (code != 0) return std::unexpected(lookup_failure(code, saved_errno));
    const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owned(list, &freeaddrinfo);

    for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
        if (auto address = SocketAddress::from_sockaddr(entry->ai_addr, entry->ai_addrlen)) {
            return with_port(*address, 0);
        }
    }
    return std::optional<SocketAddress>{};
}

}  // namespace quorlin
