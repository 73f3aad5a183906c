#include "common/x25519.hpp"

#include "common/random.hpp"
#include "common/sodium_init.hpp"

#include <sodium.h>

#include <cstdlib>

namespace quorlin {

void x25519_public_key(KeyBytes public_key, ConstKeyBytes private_key) noexcept {
    ensure_sodium();
    // With the base point the result is never the all-zero value libsodium
    // refuses; a refusal would mean a broken library.
    if (crypto_scalarmult_base(public_key.data(), private_key.data()) != 0) std::abort();
}

void x25519_generate(SecretArray<key_size_bytes>& private_key, KeyBytes public_key) noexcept {
    fill_random(private_key.span());
    x25519_public_key(public_key, private_key.view());
}

bool x25519(KeyBytes shared, ConstKeyBytes private_key, ConstKeyBytes public_key) noexcept {
    ensure_sodium();
    // libsodium refuses (-1) exactly when the result is all zero.
    if (crypto_scalarmult(shared.data(), private_key.data(), public_key.data()) != 0) {
        wipe(shared.data(), shared.size());
        return false;
    }
    return true;
}

}  // namespace quorlin
