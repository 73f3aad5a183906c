// Basic authentication with real bcrypt hashes made by the system's crypt:
// remembered passes across a reload.
#include "exporter/basic_auth.hpp"

#include <crypt.h>
#include <sodium.h>

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

namespace quorlin::exporter {
namespace {

std::string bcrypt(const char* password, unsigned long cost) {
    std::array<char, CRYPT_GENSALT_OUTPUT_SIZE> salt{};
    EXPECT_NE(::crypt_gensalt_rn("$2b$", cost, nullptr, 0, salt.data(), salt.size()), nullptr);
    crypt_data area{};
    return ::crypt_r(password, salt.data(), &area);
}

std::string header(const std::string& credentials) {
    std::string encoded(sodium_base64_ENCODED_LEN(credentials.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(encoded.data(), encoded.size(), reinterpret_cast<const unsigned char*>(credentials.data()),
                      credentials.size(), sodium_base64_VARIANT_ORIGINAL);
    encoded.resize(encoded.find('\0'));
    return "Basic " + encoded;
}

std::shared_ptr<const BasicAuth> auth(std::vector<BasicAuthUser> users) {
    auto made = BasicAuth::from(std::move(users));
    EXPECT_TRUE(made.has_value());
    return std::make_shared<const BasicAuth>(std::move(*made));
}

TEST(BasicAuth, RememberedPassesSurviveAReloadWhereTheHashStayed) {
    const std::string alice = bcrypt("a-pass", 4);
    const std::string bob = bcrypt("b-pass", 4);
    const auto before = auth({{"alice", alice}, {"bob", bob}, {"carol", bcrypt("c-pass", 4)}});
    for (const char* pass : {"alice:a-pass", "bob:b-pass", "carol:c-pass"}) ASSERT_TRUE(before->allows(header(pass)));
    // bob's hash changed (same password, new salt); carol is gone.
    const auto after = auth({{"alice", alice}, {"bob", bcrypt("b-pass", 4)}});
    after->remember_passes_of(*before);
    const struct {
        const char* credentials;
        std::optional<bool> at_once;
    } cases[] = {
        {"alice:a-pass", true},
        {"bob:b-pass", std::nullopt},    // checked again, against the new hash
        {"carol:c-pass", std::nullopt},  // an unknown user is checked like anyone
        {"alice:wrong", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(after->allows_at_once(header(c.credentials)), c.at_once) << c.credentials;
    EXPECT_TRUE(after->allows(header("bob:b-pass")));
    EXPECT_FALSE(after->allows(header("carol:c-pass")));
}

}  // namespace
}  // namespace quorlin::exporter
