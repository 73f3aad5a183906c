#include "wireguard/handshake.hpp"

#include <algorithm>

#include "wireguard/kdf.hpp"

namespace quorlin::wireguard {

namespace {

// The protocol's constants: C = HASH(construction), H = HASH(C || identifier).
struct InitialState {
    std::array<std::uint8_t, key_bytes> chaining_key{};
    std::array<std::uint8_t, hash_bytes> hash{};
};

const InitialState& initial_state() noexcept {
    static const InitialState state = [] {
        InitialState s;
        wireguard::hash(s.chaining_key, {text_bytes(noise_construction)});
        wireguard::hash(s.hash, {s.chaining_key, text_bytes(wireguard_identifier)});
        return s;
    }();
    return state;
}

// The running chaining key and transcript hash of one handshake.
struct SymmetricState {
    SecretArray<key_bytes> chaining_key;
    SecretArray<hash_bytes> hash;

    // Both sides start from HASH(H0 || responder's static public key).
    explicit SymmetricState(KeyView responder_public) noexcept {
        chaining_key.assign(initial_state().chaining_key);
        wireguard::hash(hash.span(), {initial_state().hash, responder_public});
    }
    SymmetricState(const SecretArray<key_bytes>& ck, const SecretArray<hash_bytes>& h) noexcept
        : chaining_key(ck), hash(h) {}

    void mix_hash(Bytes data) noexcept { wireguard::hash(hash.span(), {hash.view(), data}); }
    // C = KDF1(C, input)
    void mix_chain(Bytes input) noexcept { kdf1(chaining_key.span(), chaining_key.view(), input); }
    // (C, key) = KDF2(C, input)
    void mix_key(SecretArray<key_bytes>& key, Bytes input) noexcept {
        kdf2(chaining_key.span(), key.span(), chaining_key.view(), input);
    }
    // (C, tau, key) = KDF3(C, preshared key); H = HASH(H || tau)
    void mix_preshared(SecretArray<key_bytes>& key, const SecretArray<key_bytes>& preshared) noexcept {
        SecretArray<key_bytes> tau;
        kdf3(chaining_key.span(), tau.span(), key.span(), chaining_key.view(), preshared.view());
        mix_hash(tau.view());
    }
    // (T1, T2) = KDF2(C, empty)
    void split(SecretArray<key_bytes>& first, SecretArray<key_bytes>& second) const noexcept {
        kdf2(first.span(), second.span(), chaining_key.view(), Bytes());
    }
};

// DH into wiped storage; false for an all-zero result.
[[nodiscard]] bool dh(SecretArray<key_bytes>& shared, const SecretArray<key_bytes>& private_key, KeyView public_key) noexcept {
    return x25519(shared.span(), private_key.view(), public_key);
}

template <std::size_t N>
std::span<std::uint8_t, N> field(std::span<std::uint8_t> message, std::size_t offset) noexcept {
    return message.subspan(offset).first<N>();
}
template <std::size_t N>
std::span<const std::uint8_t, N> read_field(Bytes message, std::size_t offset) noexcept {
    return message.subspan(offset).first<N>();
}

}  // namespace

StaticIdentity::StaticIdentity(KeyView private_key_bytes, KeyView public_key_bytes, KeyView peer_public_key_bytes,
                               std::optional<KeyView> preshared_key_bytes) noexcept
    : private_key(private_key_bytes) {
    std::copy(public_key_bytes.begin(), public_key_bytes.end(), public_key.begin());
    std::copy(peer_public_key_bytes.begin(), peer_public_key_bytes.end(), peer_public_key.begin());
    if (preshared_key_bytes) preshared_key.assign(*preshared_key_bytes);
    static_static_valid = dh(static_static, private_key, peer_public_key);
}

std::expected<InitiationState, WireGuardError> write_initiation(const StaticIdentity& identity,
                                                                std::uint32_t local_index,
                                                                const Tai64n& timestamp,
                                                                InitiationMessage out) noexcept {
    if (!identity.static_static_valid) return std::unexpected(WireGuardError::WrongKey);
    std::fill(out.begin(), out.end(), 0);
    store_type(out, MessageType::HandshakeInitiation);
    store_le32(out, initiation::sender_offset, local_index);

    SymmetricState state(identity.peer_public_key);
    InitiationState pending;
    pending.local_index = local_index;
    auto ephemeral_public = field<key_bytes>(out, initiation::ephemeral_offset);
    x25519_generate(pending.ephemeral_private, ephemeral_public);
    state.mix_chain(ephemeral_public);
    state.mix_hash(ephemeral_public);

    SecretArray<key_bytes> shared;
    SecretArray<key_bytes> key;
    if (!dh(shared, pending.ephemeral_private, identity.peer_public_key)) {
        return std::unexpected(WireGuardError::WrongKey);
    }
    state.mix_key(key, shared.view());
    auto encrypted_static = field<initiation::static_bytes>(out, initiation::static_offset);
    aead_seal(encrypted_static, key.view(), counter_nonce(0), identity.public_key, state.hash.view());
    state.mix_hash(encrypted_static);

    state.mix_key(key, identity.static_static.view());
    auto encrypted_timestamp = field<initiation::timestamp_bytes>(out, initiation::timestamp_offset);
    aead_seal(encrypted_timestamp, key.view(), counter_nonce(0), timestamp.bytes, state.hash.view());
    state.mix_hash(encrypted_timestamp);

    pending.chaining_key = state.chaining_key;
    pending.hash = state.hash;
    return pending;
}

std::expected<TransportKeys, WireGuardError> read_response(const StaticIdentity& identity,
                                                           const InitiationState& initiation,
                                                           std::span<const std::uint8_t, response::size> message) noexcept {
    if (load_le32(message, response::receiver_offset) != initiation.local_index) {
        return std::unexpected(WireGuardError::WrongIndex);
    }
    SymmetricState state(initiation.chaining_key, initiation.hash);
    const auto responder_ephemeral = read_field<key_bytes>(message, response::ephemeral_offset);
    state.mix_chain(responder_ephemeral);
    state.mix_hash(responder_ephemeral);

    SecretArray<key_bytes> shared;
    if (!dh(shared, initiation.ephemeral_private, responder_ephemeral)) {
        return std::unexpected(WireGuardError::WrongKey);
    }
    state.mix_chain(shared.view());
    if (!dh(shared, identity.private_key, responder_ephemeral)) return std::unexpected(WireGuardError::WrongKey);
    state.mix_chain(shared.view());

    SecretArray<key_bytes> key;
    state.mix_preshared(key, identity.preshared_key);
    const auto encrypted_nothing = read_field<response::empty_bytes>(message, response::empty_offset);
    if (!aead_open(std::span<std::uint8_t>(), key.view(), counter_nonce(0), encrypted_nothing, state.hash.view())) {
        return std::unexpected(WireGuardError::InvalidAeadTag);
    }
    state.mix_hash(encrypted_nothing);

    TransportKeys keys;
    keys.local_index = initiation.local_index;
    keys.remote_index = load_le32(message, response::sender_offset);
    state.split(keys.sending_key, keys.receiving_key);
    return keys;
}

std::expected<PeerInitiation, WireGuardError> read_initiation(const StaticIdentity& identity,
                                                              std::span<const std::uint8_t, initiation::size> message,
                                                              const std::optional<Tai64n>& latest_timestamp) noexcept {
    SymmetricState state(identity.public_key);
    PeerInitiation peer;
    peer.remote_index = load_le32(message, initiation::sender_offset);
    const auto initiator_ephemeral = read_field<key_bytes>(message, initiation::ephemeral_offset);
    std::copy(initiator_ephemeral.begin(), initiator_ephemeral.end(), peer.remote_ephemeral.begin());
    state.mix_chain(initiator_ephemeral);
    state.mix_hash(initiator_ephemeral);

    SecretArray<key_bytes> shared;
    SecretArray<key_bytes> key;
    if (!dh(shared, identity.private_key, initiator_ephemeral)) return std::unexpected(WireGuardError::WrongKey);
    state.mix_key(key, shared.view());
    const auto encrypted_static = read_field<initiation::static_bytes>(message, initiation::static_offset);
    std::array<std::uint8_t, key_bytes> initiator_static{};
    if (!aead_open(initiator_static, key.view(), counter_nonce(0), encrypted_static, state.hash.view())) {
        return std::unexpected(WireGuardError::InvalidAeadTag);
    }
    state.mix_hash(encrypted_static);
    if (!equal_in_constant_time(initiator_static, identity.peer_public_key) ||
        !identity.static_static_valid) {
        return std::unexpected(WireGuardError::WrongKey);
    }

    state.mix_key(key, identity.static_static.view());
    const auto encrypted_timestamp = read_field<initiation::timestamp_bytes>(message, initiation::timestamp_offset);
    if (!aead_open(peer.timestamp.bytes, key.view(), counter_nonce(0), encrypted_timestamp, state.hash.view())) {
        return std::unexpected(WireGuardError::InvalidAeadTag);
    }
    state.mix_hash(encrypted_timestamp);
    // A replayed initiation carries a timestamp we have already accepted.
    if (latest_timestamp && peer.timestamp <= *latest_timestamp) {
        return std::unexpected(WireGuardError::WrongTai64nTimestamp);
    }

    peer.chaining_key = state.chaining_key;
    peer.hash = state.hash;
    return peer;
}

std::expected<TransportKeys, WireGuardError> write_response(const StaticIdentity& identity,
                                                            const PeerInitiation& initiation,
                                                            std::uint32_t local_index, ResponseMessage out) noexcept {
    std::fill(out.begin(), out.end(), 0);
    store_type(out, MessageType::HandshakeResponse);
    store_le32(out, response::sender_offset, local_index);
    store_le32(out, response::receiver_offset, initiation.remote_index);

    SymmetricState state(initiation.chaining_key, initiation.hash);
    SecretArray<key_bytes> ephemeral_private;
    auto ephemeral_public = field<key_bytes>(out, response::ephemeral_offset);
    x25519_generate(ephemeral_private, ephemeral_public);
    state.mix_chain(ephemeral_public);
    state.mix_hash(ephemeral_public);

    SecretArray<key_bytes> shared;
    if (!dh(shared, ephemeral_private, initiation.remote_ephemeral)) return std::unexpected(WireGuardError::WrongKey);
    state.mix_chain(shared.view());
    if (!dh(shared, ephemeral_private, identity.peer_public_key)) return std::unexpected(WireGuardError::WrongKey);
    state.mix_chain(shared.view());

    SecretArray<key_bytes> key;
    state.mix_preshared(key, identity.preshared_key);
    auto encrypted_nothing = field<response::empty_bytes>(out, response::empty_offset);
    aead_seal(encrypted_nothing, key.view(), counter_nonce(0), Bytes(), state.hash.view());
    state.mix_hash(encrypted_nothing);

    TransportKeys keys;
    keys.local_index = local_index;
    keys.remote_index = initiation.remote_index;
    // The initiator sends with the first key, so the responder receives with it.
    state.split(keys.receiving_key, keys.sending_key);
    return keys;
}

}  // namespace quorlin::wireguard
