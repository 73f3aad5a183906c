#pragma once
// The headers http_server_config.headers adds to every answer. Those the
// exporter sets itself, or that describe how the answer is framed, are
// refused: a second copy would contradict the first or break the framing.

#include <expected>
#include <string>
#include <string_view>

namespace quorlin::exporter {

struct ResponseHeader {
    std::string name;
    std::string value;
};

inline constexpr std::string_view reserved_response_headers[] = {
    "Allow", "Cache-Control", "Connection", "Content-Encoding", "Content-Length", "Content-Type", "Date",
    "Keep-Alive", "Trailer", "Transfer-Encoding", "Upgrade", "WWW-Authenticate",
};

// Why the header cannot be added, or nothing.
std::expected<void, std::string> check_response_header(std::string_view name, std::string_view value);

}  // namespace quorlin::exporter
