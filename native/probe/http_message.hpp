#pragma once
// The HTTP/1.1 side of an HTTP check: the one GET it sends and the reading
// of the answer's head. The body is not interpreted beyond its length and a
// plain search for the text a check expects.

#include "probe/service_target.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace quorlin {

// "GET PATH HTTP/1.1" with Host, a User-Agent naming quorlin and its
// version, Accept and Connection: close.
std::string http_request(const HttpTarget& target);

struct HttpHead {
    std::uint16_t status = 0;
    std::string reason;
    std::optional<std::string> location;
    std::optional<std::size_t> content_length;
    std::size_t head_bytes = 0;  // through the blank line
};

enum class HeadReading : std::uint8_t { complete, incomplete, malformed };

// The head at the start of `received`, once its blank line has come; a
// status line that is not "HTTP/1.x NNN ..." or a header line without a
// colon is malformed. Header values are trimmed of spaces and tabs.
std::pair<HeadReading, HttpHead> read_http_head(std::string_view received);

// Whether `status` lies in one of the ranges.
bool status_accepted(const HttpStatusRanges& ranges, std::uint16_t status) noexcept;

}  // namespace quorlin
