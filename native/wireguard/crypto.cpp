#include "wireguard/crypto.hpp"

#include <blake2.h>
#include <sodium.h>

#include <cstdlib>

#include "common/sodium_init.hpp"

namespace quorlin::wireguard {

namespace {

// A failing primitive call here means our own lengths are wrong.
void require(bool ok) noexcept {
    if (!ok) std::abort();
}

// libsodium wants somewhere to write even when nothing is written.
std::uint8_t* writable(std::span<std::uint8_t> out) noexcept {
    static std::uint8_t nowhere;
    return out.empty() ? &nowhere : out.data();
}

}  // namespace

Nonce counter_nonce(std::uint64_t counter) noexcept {
    Nonce nonce{};
    for (std::size_t i = 0; i < 8; ++i) nonce[4 + i] = static_cast<std::uint8_t>(counter >> (8 * i));
    return nonce;
}

void aead_seal(std::span<std::uint8_t> sealed, std::span<const std::uint8_t, key_bytes> key, const Nonce& nonce,
               Bytes plaintext, Bytes associated_data) noexcept {
    ensure_sodium();
    require(sealed.size() == plaintext.size() + tag_bytes);
    unsigned long long sealed_length = 0;
    require(crypto_aead_chacha20poly1305_ietf_encrypt(sealed.data(), &sealed_length, plaintext.data(),
                                                      plaintext.size(), associated_data.data(),
                                                      associated_data.size(), nullptr, nonce.data(),
                                                      key.data()) == 0);
}

bool aead_open(std::span<std::uint8_t> plaintext, std::span<const std::uint8_t, key_bytes> key, const Nonce& nonce,
               Bytes sealed, Bytes associated_data) noexcept {
    ensure_sodium();
    if (sealed.size() < tag_bytes || plaintext.size() != sealed.size() - tag_bytes) return false;
    unsigned long long plaintext_length = 0;
    return crypto_aead_chacha20poly1305_ietf_decrypt(writable(plaintext), &plaintext_length, nullptr, sealed.data(),
                                                     sealed.size(), associated_data.data(), associated_data.size(),
                                                     nonce.data(), key.data()) == 0;
}

void xaead_seal(std::span<std::uint8_t> sealed, std::span<const std::uint8_t, key_bytes> key, const XNonce& nonce,
                Bytes plaintext, Bytes associated_data) noexcept {
    ensure_sodium();
    require(sealed.size() == plaintext.size() + tag_bytes);
    unsigned long long sealed_length = 0;
    require(crypto_aead_xchacha20poly1305_ietf_encrypt(sealed.data(), &sealed_length, plaintext.data(),
                                                       plaintext.size(), associated_data.data(),
                                                       associated_data.size(), nullptr, nonce.data(),
                                                       key.data()) == 0);
}

bool xaead_open(std::span<std::uint8_t> plaintext, std::span<const std::uint8_t, key_bytes> key, const XNonce& nonce,
                Bytes sealed, Bytes associated_data) noexcept {
    ensure_sodium();
    if (sealed.size() < tag_bytes || plaintext.size() != sealed.size() - tag_bytes) return false;
    unsigned long long plaintext_length = 0;
    return crypto_aead_xchacha20poly1305_ietf_decrypt(writable(plaintext), &plaintext_length, nullptr, sealed.data(),
                                                      sealed.size(), associated_data.data(), associated_data.size(),
                                                      nonce.data(), key.data()) == 0;
}

namespace {

// The state holds key material (keyed use) and intermediate chaining values.
struct Blake2sState {
    blake2s_state state;
    ~Blake2sState() { wipe(&state, sizeof state); }
};

void absorb(blake2s_state& state, std::initializer_list<Bytes> parts) noexcept {
    for (Bytes part : parts) {
        if (!part.empty()) require(blake2s_update(&state, part.data(), part.size()) == 0);
    }
}

}  // namespace

void hash(std::span<std::uint8_t, hash_bytes> out, std::initializer_list<Bytes> parts) noexcept {
    Blake2sState s;
    require(blake2s_init(&s.state, out.size()) == 0);
    absorb(s.state, parts);
    require(blake2s_final(&s.state, out.data(), out.size()) == 0);
}

void keyed_hash(std::span<std::uint8_t> out, Bytes key, std::initializer_list<Bytes> parts) noexcept {
    require(!out.empty() && out.size() <= BLAKE2S_OUTBYTES && !key.empty() && key.size() <= BLAKE2S_KEYBYTES);
    Blake2sState s;
    require(blake2s_init_key(&s.state, out.size(), key.data(), key.size()) == 0);
    absorb(s.state, parts);
    require(blake2s_final(&s.state, out.data(), out.size()) == 0);
}

}  // namespace quorlin::wireguard
