#pragma once
// One hexadecimal digit's value, either case: IPv6 text and %XX escapes.

namespace quorlin {

// 0 to 15, or -1 for anything but a hexadecimal digit.
constexpr int hex_value(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace quorlin
