#pragma once
// HTTP basic authentication against bcrypt hashes, checked with the
// system's crypt (libxcrypt). A user that does not exist costs a bcrypt
// check all the same, against a hash of the highest configured cost, so the
// answer's time does not tell which users exist (unless users have different
// costs: cost_warning() says so). A check that passed is remembered by a
// digest of user, password and hash, so a scraper that sends the same
// credentials each time pays bcrypt once, across reloads too: a digest binds
// the hash, so a changed or removed user's remembered pass no longer counts.

#include <cstdint>
#include <expected>
#include <mutex>
#include <optional>
#include <span>
#include <set>
#include <array>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorlin::exporter {

struct BasicAuthUser {
    std::string name;
    std::string hash;  // "$2b$..." (also $2a$, $2y$); never printed
};

class BasicAuth {
public:
    // Refused when a hash is not a bcrypt hash crypt can check.
    static std::expected<BasicAuth, std::string> from(std::vector<BasicAuthUser> users);
    BasicAuth(BasicAuth&& other) noexcept;
    BasicAuth& operator=(BasicAuth&&) = delete;

    // Whether the value of an Authorization header names a user with the right password.
    bool allows(std::string_view authorization) const;
    // The same answer where it needs no bcrypt check (a remembered pass, a
    // header that cannot pass); nothing where it does.
    std::optional<bool> allows_at_once(std::string_view authorization) const;

    // Takes over the passes `previous` remembers (the users read before a reload).
    void remember_passes_of(const BasicAuth& previous) const;

    // Why the users can be told apart by a check's time, or empty.
    const std::string& cost_warning() const noexcept { return cost_warning_; }

private:
    BasicAuth(std::vector<BasicAuthUser> users, std::string dummy_hash, std::string cost_warning)
        : users_(std::move(users)), dummy_hash_(std::move(dummy_hash)), cost_warning_(std::move(cost_warning)) {}

    using Digest = std::array<std::uint8_t, 32>;
    struct Claim;
    // Decodes into `decoded`; nothing for a header that cannot pass.
    std::optional<Claim> claim(std::string_view authorization, std::span<std::uint8_t> decoded) const;
    bool remembered(const Digest& digest) const;

    std::vector<BasicAuthUser> users_;
    std::string dummy_hash_;  // for users that do not exist
    std::string cost_warning_;
    mutable std::mutex mutex_;
    mutable std::set<Digest> passed_;
};

}  // namespace quorlin::exporter
