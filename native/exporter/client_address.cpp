#include "exporter/client_address.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <array>
#include <cstring>

namespace quorlin::exporter {

namespace {

std::string text_of(int family, const void* address) {
    std::array<char, INET6_ADDRSTRLEN> text{};
    if (::inet_ntop(family, address, text.data(), text.size()) == nullptr) return "?";
    return text.data();
}

}  // namespace

ClientAddress client_address(const sockaddr* address) {
    if (address == nullptr) return {"?", "?"};
    if (address->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        std::string text = text_of(AF_INET, &v4->sin_addr);
        return {text, text};
    }
    if (address->sa_family != AF_INET6) return {"?", "?"};
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
        std::string text = text_of(AF_INET, &v6->sin6_addr.s6_addr[12]);
        return {text, text};
    }
    in6_addr prefix = v6->sin6_addr;
    std::memset(&prefix.s6_addr[8], 0, 8);
    return {text_of(AF_INET6, &v6->sin6_addr), text_of(AF_INET6, &prefix) + "/64"};
}

}  // namespace quorlin::exporter
