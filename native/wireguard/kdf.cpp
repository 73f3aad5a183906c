#include "wireguard/kdf.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>

#include "common/secret.hpp"

namespace quorlin::wireguard {

namespace {

constexpr std::size_t blake2s_block_bytes = 64;

// Up to three outputs; each is derived from tau0 alone, so the caller's key
// (possibly aliased by an output) is read only once, at the start.
void kdf(std::span<const Key32> outputs, Bytes key, Bytes input) noexcept {
    SecretArray<hash_bytes> tau0;
    hmac(tau0.span(), key, input);
    SecretArray<hash_bytes + 1> previous;  // tau_{i-1} || i
    std::size_t previous_bytes = 0;
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        previous.data()[previous_bytes] = static_cast<std::uint8_t>(i + 1);
        SecretArray<hash_bytes> tau;
        hmac(tau.span(), tau0.view(), Bytes(previous.data(), previous_bytes + 1));
        std::copy(tau.data(), tau.data() + hash_bytes, outputs[i].data());
        std::copy(tau.data(), tau.data() + hash_bytes, previous.data());
        previous_bytes = hash_bytes;
    }
}

}  // namespace

void hmac(std::span<std::uint8_t, hash_bytes> out, Bytes key, Bytes input) noexcept {
    if (key.size() > blake2s_block_bytes) std::abort();  // never with the protocol's keys
    SecretArray<blake2s_block_bytes> inner_pad;
    SecretArray<blake2s_block_bytes> outer_pad;
    for (std::size_t i = 0; i < blake2s_block_bytes; ++i) {
        const std::uint8_t k = i < key.size() ? key[i] : 0;
        inner_pad.data()[i] = k ^ 0x36;
        outer_pad.data()[i] = k ^ 0x5c;
    }
    SecretArray<hash_bytes> inner;
    hash(inner.span(), {inner_pad.view(), input});
    hash(out, {outer_pad.view(), inner.view()});
}

void kdf1(Key32 t1, Bytes key, Bytes input) noexcept {
    const std::array<Key32, 1> outputs{t1};
    kdf(outputs, key, input);
}

void kdf2(Key32 t1, Key32 t2, Bytes key, Bytes input) noexcept {
    const std::array<Key32, 2> outputs{t1, t2};
    kdf(outputs, key, input);
}

void kdf3(Key32 t1, Key32 t2, Key32 t3, Bytes key, Bytes input) noexcept {
    const std::array<Key32, 3> outputs{t1, t2, t3};
    kdf(outputs, key, input);
}

}  // namespace quorlin::wireguard
