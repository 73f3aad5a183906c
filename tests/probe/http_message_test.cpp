#include "probe/http_message.hpp"

#include "common/version.hpp"

#include <gtest/gtest.h>

namespace quorlin {
namespace {

TEST(HttpRequest, OneGetThatClosesItsConnection) {
    HttpTarget target{.url = "https://git.internal:8443/a?b", .https = true, .host = {"git.internal", std::nullopt},
                      .port = 8443, .path = "/a?b"};
    EXPECT_EQ(http_request(target), "GET /a?b HTTP/1.1\r\nHost: git.internal:8443\r\nUser-Agent: quorlin/" +
                                        std::string(version) + "\r\nAccept: */*\r\nConnection: close\r\n\r\n");
}

TEST(ReadHttpHead, StatusLocationAndLength) {
    const struct {
        std::string_view received;
        HeadReading reading;
        std::uint16_t status = 0;
        std::string reason;
        std::optional<std::string> location;
        std::optional<std::size_t> length;
    } cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", HeadReading::complete, 200, "OK", std::nullopt, 5},
        {"HTTP/1.0 301 Moved\r\nlocation:\t/sub/ \r\n\r\n", HeadReading::complete, 301, "Moved", "/sub/"},
        {"HTTP/1.1 204\r\n\r\n", HeadReading::complete, 204, ""},
        {"HTTP/1.1 200 OK\r\nContent-Length: 5x\r\n\r\n", HeadReading::complete, 200, "OK"},
        {"HTTP/1.1 200 OK\r\nServer: x\r\n", HeadReading::incomplete},
        {"SSH-2.0-OpenSSH\r\n\r\n", HeadReading::malformed},
        {"HTTP/1.1 20 OK\r\n\r\n", HeadReading::malformed},
        {"HTTP/1.1 2000 OK\r\n\r\n", HeadReading::malformed},
        {"HTTP/1.1 099 x\r\n\r\n", HeadReading::malformed},
        {"HTTP/1.1 200 OK\r\nno colon here\r\n\r\n", HeadReading::malformed},
    };
    for (const auto& c : cases) {
        const auto [reading, head] = read_http_head(c.received);
        ASSERT_EQ(reading, c.reading) << c.received;
        if (reading != HeadReading::complete) continue;
        EXPECT_EQ((std::tuple{head.status, head.reason, head.location, head.content_length}),
                  (std::tuple{c.status, c.reason, c.location, c.length}))
            << c.received;
        EXPECT_EQ(head.head_bytes, c.received.find("\r\n\r\n") + 4);
    }
}

}  // namespace
}  // namespace quorlin
