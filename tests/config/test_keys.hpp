#pragma once
// Known keys shared by the configuration tests: the X25519 key pairs of
// RFC 7748 section 6.1, in the canonical Base64 text form.

#include <algorithm>
#include <cstdint>
#include <span>
#include <string_view>

namespace quorlin::test_keys {

inline constexpr std::string_view alice_private = "dwdtCnMYpX08FsFyUbJmRd9ML4frwJkqsXf7pR25LCo=";
inline constexpr std::string_view alice_public = "hSDwCYkwp1R0i33ctD73Wg2/Og0mOBr066SpjqqbTmo=";
inline constexpr std::string_view bob_private = "XasIfmJKikt54X+Lg4AO5m87sSkmGLb9HC+LJ/+I4Os=";
inline constexpr std::string_view bob_public = "3p7bfXt9wbTTW2HC7OQ1Nz+DQ8hbeGdNrfx+FG+IK08=";
// Bytes 0x00 to 0x1f.
inline constexpr std::string_view counting = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";

// Whether wiped memory reads as zero.
inline bool all_zero(std::span<const std::uint8_t> bytes) {
    return std::ranges::all_of(bytes, [](std::uint8_t b) { return b == 0; });
}

}  // namespace quorlin::test_keys
