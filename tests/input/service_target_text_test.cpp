// The texts of the TLS and HTTP checks' targets, and the statuses an HTTP
// check accepts, as the command, the module and the fleet file take them.
#include "input/service_target_text.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace quorlin::input {
namespace {

TEST(ParseTlsTarget, AnAddressOrANameWithAPort) {
    const struct {
        std::string_view text;
        std::optional<std::string> address;  // the literal, when the host is one
        bool accepted;
    } cases[] = {
        {"10.0.0.5:443", "10.0.0.5", true},    {"git.internal:8443", std::nullopt, true},
        {"Mixed-Case_host:1", std::nullopt, true}, {"git.internal", std::nullopt, false},
        {"10.0.0.256:443", std::nullopt, false}, {"10.0.0.5:0", std::nullopt, false},
        {":443", std::nullopt, false},          {"[fd00::1]:443", std::nullopt, false},
        {"a b:443", std::nullopt, false},       {"host/x:443", std::nullopt, false},
    };
    for (const auto& c : cases) {
        const auto target = parse_tls_target(c.text, "--tls");
        ASSERT_EQ(target.has_value(), c.accepted) << c.text;
        if (!target) {
            EXPECT_EQ(target.error(), "--tls must be HOST:PORT (an IPv4 address or a DNS name, and a port from 1 "
                                      "through 65535), got " + std::string(c.text));
            continue;
        }
        EXPECT_EQ(target->to_text(), c.text);
        EXPECT_EQ(target->host.address ? std::optional(target->host.address->to_text()) : std::nullopt, c.address)
            << c.text;
    }
}

TEST(ParseHttpUrl, SchemeHostPortAndPath) {
    const struct {
        std::string_view text;
        bool https;
        std::string host_header;
        std::uint16_t port;
        std::string path;
    } accepted[] = {
        {"http://10.0.0.5", false, "10.0.0.5", 80, "/"},
        {"HTTPS://git.internal/", true, "git.internal", 443, "/"},
        {"https://git.internal:8443/a/b?x=1#frag", true, "git.internal:8443", 8443, "/a/b?x=1"},
        {"http://10.0.0.5:80?q", false, "10.0.0.5", 80, "/?q"},
        {"http://h.test:443/", false, "h.test:443", 443, "/"},
    };
    for (const auto& c : accepted) {
        const auto target = parse_http_url(c.text, "--http");
        ASSERT_TRUE(target) << c.text << ": " << target.error();
        EXPECT_EQ((std::tuple{target->https, target->host_header(), target->port, target->path, target->url}),
                  (std::tuple{c.https, c.host_header, c.port, c.path, std::string(c.text)}));
    }
    for (const std::string_view refused : {"ftp://h.test/", "h.test/", "http://", "http://user@h.test/",
                                           "http://h.test:0/", "http://h.test/a b", "http://[::1]/"}) {
        const auto target = parse_http_url(refused, "http");
        ASSERT_FALSE(target) << refused;
        EXPECT_TRUE(target.error().starts_with("http must be an http:// or https:// URL")) << target.error();
    }
}

TEST(ParseHttpStatuses, CodesAndRanges) {
    EXPECT_EQ(parse_http_statuses("200,301", "s").value(), (HttpStatusRanges{{200, 200}, {301, 301}}));
    EXPECT_EQ(parse_http_statuses("200-399", "s").value(), (HttpStatusRanges{{200, 399}}));
    for (const std::string_view refused : {"", "200,", "99", "600", "300-200", "2OO", "200-", "0200"}) {
        EXPECT_FALSE(parse_http_statuses(refused, "--http-status")) << refused;
    }
}

}  // namespace
}  // namespace quorlin::input
