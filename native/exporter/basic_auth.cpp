#include "exporter/basic_auth.hpp"

#include "common/secret.hpp"

#include <crypt.h>
#include <sodium.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

namespace quorlin::exporter {

namespace {

// Credentials longer than this are refused without a check.
constexpr std::size_t longest_credentials = 512;
// Remembered passes; the memory is cleared when full.
constexpr std::size_t most_remembered = 1024;

bool is_bcrypt(std::string_view hash) {
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    return hash.size() == 60 && (hash.starts_with("$2b$") || hash.starts_with("$2a$") || hash.starts_with("$2y$")) &&
           digit(hash[4]) && digit(hash[5]) && hash[6] == '$';
}

// crypt_r's answer compared with the hash in constant time; its work area wiped after.
bool crypt_matches(const char* password, const std::string& hash) {
    const auto area = std::make_unique<crypt_data>();
    std::memset(area.get(), 0, sizeof(crypt_data));
    const char* out = ::crypt_r(password, hash.c_str(), area.get());
    const bool same = out != nullptr && std::strlen(out) == hash.size() &&
                      equal_in_constant_time({reinterpret_cast<const std::uint8_t*>(out), hash.size()},
                                             {reinterpret_cast<const std::uint8_t*>(hash.data()), hash.size()});
    wipe(area.get(), sizeof(crypt_data));
    return same;
}

// Names each cost with its users when they differ: "cost 10 (alice), cost 12 (bob, carol)".
std::string cost_warning_of(const std::vector<BasicAuthUser>& users) {
    std::map<int, std::string> by_cost;
    for (const BasicAuthUser& user : users) {
        std::string& names = by_cost[std::stoi(user.hash.substr(4, 2))];
        names += (names.empty() ? "" : ", ") + user.name;
    }
    if (by_cost.size() < 2) return {};
    std::string costs;
    for (const auto& [cost, names] : by_cost) {
        costs += (costs.empty() ? "" : ", ") + ("cost " + std::to_string(cost) + " (" + names + ")");
    }
    return "basic_auth_users have different bcrypt costs, so the time of a check tells them apart: " + costs +
           "; unknown users are checked at cost " + std::to_string(by_cost.rbegin()->first);
}

}  // namespace

std::expected<BasicAuth, std::string> BasicAuth::from(std::vector<BasicAuthUser> users) {
    unsigned long cost = 10;
    for (const BasicAuthUser& user : users) {
        if (!is_bcrypt(user.hash)) return std::unexpected("the password of user \"" + user.name + "\" is not a bcrypt hash");
    }
    if (!users.empty()) cost = 0;
    for (const BasicAuthUser& user : users) cost = std::max(cost, std::stoul(user.hash.substr(4, 2)));
    // A hash of a password nobody sends, at the highest cost configured.
    const auto area = std::make_unique<crypt_data>();
    std::memset(area.get(), 0, sizeof(crypt_data));
    std::array<char, CRYPT_GENSALT_OUTPUT_SIZE> salt{};
    if (::crypt_gensalt_rn("$2b$", cost, nullptr, 0, salt.data(), salt.size()) == nullptr) {
        return std::unexpected("the system's crypt cannot make a bcrypt hash");
    }
    const char* dummy = ::crypt_r("", salt.data(), area.get());
    if (dummy == nullptr || !is_bcrypt(dummy)) return std::unexpected("the system's crypt cannot make a bcrypt hash");
    std::string warning = cost_warning_of(users);
    return BasicAuth(std::move(users), std::string(dummy), std::move(warning));
}

BasicAuth::BasicAuth(BasicAuth&& other) noexcept
    : users_(std::move(other.users_)),
      dummy_hash_(std::move(other.dummy_hash_)),
      cost_warning_(std::move(other.cost_warning_)),
      passed_(std::move(other.passed_)) {}

struct BasicAuth::Claim {
    const char* password;         // NUL-terminated, inside the decoded buffer
    const BasicAuthUser* user;    // null: no such user
    Digest digest;                // of user:password and the hash checked
};

std::optional<BasicAuth::Claim> BasicAuth::claim(std::string_view authorization,
                                                 std::span<std::uint8_t> decoded) const {
    constexpr std::string_view scheme = "Basic ";
    if (authorization.size() <= scheme.size() || authorization.size() > 2 * longest_credentials ||
        strncasecmp(authorization.data(), scheme.data(), scheme.size()) != 0) {
        return std::nullopt;
    }
    authorization.remove_prefix(scheme.size());
    std::size_t length = 0;
    // user:password, then a NUL for crypt.
    if (sodium_base642bin(decoded.data(), decoded.size() - 1, authorization.data(), authorization.size(), nullptr,
                          &length, nullptr, sodium_base64_VARIANT_ORIGINAL) != 0) {
        return std::nullopt;
    }
    const char* text = reinterpret_cast<const char*>(decoded.data());
    const void* colon = std::memchr(text, ':', length);
    if (colon == nullptr || std::memchr(text, '\0', length) != nullptr) return std::nullopt;
    decoded[length] = 0;
    const std::string_view name(text, static_cast<std::size_t>(static_cast<const char*>(colon) - text));
    Claim out{static_cast<const char*>(colon) + 1, nullptr, {}};
    for (const BasicAuthUser& each : users_) {
        if (each.name == name) out.user = &each;
    }
    const std::string& hash = out.user ? out.user->hash : dummy_hash_;
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, out.digest.size());
    crypto_generichash_update(&state, decoded.data(), length);
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(hash.data()), hash.size());
    crypto_generichash_final(&state, out.digest.data(), out.digest.size());
    return out;
}

void BasicAuth::remember_passes_of(const BasicAuth& previous) const {
    if (&previous == this) return;
    std::set<Digest> passes;
    {
        const std::lock_guard lock(previous.mutex_);
        passes = previous.passed_;
    }
    const std::lock_guard lock(mutex_);
    passed_.merge(passes);
}

bool BasicAuth::remembered(const Digest& digest) const {
    const std::lock_guard lock(mutex_);
    return passed_.contains(digest);
}

std::optional<bool> BasicAuth::allows_at_once(std::string_view authorization) const {
    SecretArray<longest_credentials + 1> decoded;
    const std::optional<Claim> claimed = claim(authorization, decoded.span());
    if (!claimed) return false;
    if (claimed->user != nullptr && remembered(claimed->digest)) return true;
    return std::nullopt;
}

bool BasicAuth::allows(std::string_view authorization) const {
    SecretArray<longest_credentials + 1> decoded;
    const std::optional<Claim> claimed = claim(authorization, decoded.span());
    if (!claimed) return false;
    if (claimed->user != nullptr && remembered(claimed->digest)) return true;
    // An unknown user is checked against the dummy hash all the same.
    const bool matches = crypt_matches(claimed->password, claimed->user ? claimed->user->hash : dummy_hash_) &&
                         claimed->user != nullptr;
    if (matches) {
        const std::lock_guard lock(mutex_);
        if (passed_.size() >= most_remembered) passed_.clear();
        passed_.insert(claimed->digest);
    }
    return matches;
}

}  // namespace quorlin::exporter
