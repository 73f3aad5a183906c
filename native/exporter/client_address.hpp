#pragma once
// A client as the log names it and as the limits count it. An IPv4 client
// of a dual-stack listener is plain IPv4. An IPv6 client is counted by its
// /64: a single host is commonly given a whole /64, and would otherwise have
// as many addresses as it likes.

#include <sys/socket.h>

#include <string>

namespace quorlin::exporter {

struct ClientAddress {
    std::string text;  // "192.0.2.1", "2001:db8::1"; "?" when unknown
    std::string key;   // "192.0.2.1", "2001:db8::/64"; "?" when unknown
};

// Null or another family than IPv4 and IPv6 gives "?" for both.
ClientAddress client_address(const sockaddr* address);

}  // namespace quorlin::exporter
