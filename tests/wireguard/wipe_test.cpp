// Everything the tunnel keeps secret lives in these holders; each must leave
// no trace of its secrets in its storage once released.

#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <utility>
#include <vector>

#include "wireguard/cookie.hpp"
#include "wireguard/handshake.hpp"
#include "wireguard/session.hpp"
#include "wireguard/test_support.hpp"

namespace quorlin::wireguard {
namespace {

using Secret = std::vector<std::uint8_t>;

Secret bytes_of(std::span<const std::uint8_t> bytes) { return {bytes.begin(), bytes.end()}; }

// One object in storage of its own, so that its bytes can be read after it dies.
template <typename T>
class Released {
public:
    template <typename... Args>
    T& make(Args&&... args) {
        object_ = new (storage_.data()) T(std::forward<Args>(args)...);
        return *object_;
    }

    // Destroys the object and counts the `secrets` its storage still holds.
    std::size_t left_of(const std::vector<Secret>& secrets) {
        EXPECT_EQ(held(secrets), secrets.size()) << "the secrets were in the object to begin with";
        object_->~T();
        return held(secrets);
    }

private:
    std::size_t held(const std::vector<Secret>& secrets) const {
        return static_cast<std::size_t>(std::count_if(secrets.begin(), secrets.end(), [&](const Secret& secret) {
            return std::search(storage_.begin(), storage_.end(), secret.begin(), secret.end()) != storage_.end();
        }));
    }

    alignas(T) std::array<std::uint8_t, sizeof(T)> storage_{};
    T* object_ = nullptr;
};

TEST(Secrets, AreWipedWhenReleased) {
    std::array<std::uint8_t, 32> psk{};
    psk.fill(0x5c);
    const StaticIdentity alice(testing::alice_private, testing::alice_public, testing::bob_public, KeyView(psk));
    const StaticIdentity bob(testing::bob_private, testing::bob_public, testing::alice_public, KeyView(psk));
    {
        Released<StaticIdentity> r;
        auto& identity = r.make(testing::alice_private, testing::alice_public, testing::bob_public, KeyView(psk));
        EXPECT_EQ(r.left_of({bytes_of(testing::alice_private), bytes_of(psk), bytes_of(identity.static_static.view())}),
                  0u)
            << "static identity";
    }

    std::array<std::uint8_t, initiation::size> message{};
    const auto pending = write_initiation(alice, 1, Tai64n::now(), message);
    ASSERT_TRUE(pending);
    {
        Released<InitiationState> r;
        auto& state = r.make(*pending);
        EXPECT_EQ(r.left_of({bytes_of(state.ephemeral_private.view()), bytes_of(state.chaining_key.view())}), 0u)
            << "outstanding initiation";
    }
    const auto peer = read_initiation(bob, message, std::nullopt);
    ASSERT_TRUE(peer);
    {
        Released<PeerInitiation> r;
        auto& state = r.make(*peer);
        EXPECT_EQ(r.left_of({bytes_of(state.chaining_key.view())}), 0u) << "peer's initiation";
    }

    std::array<std::uint8_t, response::size> response{};
    const auto keys = write_response(bob, *peer, 2, response);
    ASSERT_TRUE(keys);
    {
        Released<Session> r;
        r.make(*keys, Clock::now());
        EXPECT_EQ(r.left_of({bytes_of(keys->sending_key.view()), bytes_of(keys->receiving_key.view())}), 0u)
            << "session";
    }
    {
        Released<HeldCookie> r;
        std::array<std::uint8_t, cookie_bytes> cookie{};
        cookie.fill(0xc0);
        r.make().store(cookie, Clock::now());
        EXPECT_EQ(r.left_of({bytes_of(cookie)}), 0u) << "held cookie";
    }
}

}  // namespace
}  // namespace quorlin::wireguard
