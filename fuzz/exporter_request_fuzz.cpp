// Feeds arbitrary requests to the exporter's request handling: the input is
// split at its first two newlines into the path, the raw query and the value
// of the scrape-timeout header. Beyond not crashing: a refusal is one line
// of printable text, a probe route names a target, an accepted timeout is
// positive and at most a day, and the origin form of a target is a tail of
// it (after a '/' of its own at most).

#include "exporter/request.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using namespace quorlin::exporter;

void require(bool condition) {
    if (!condition) std::abort();
}

bool printable_line(std::string_view text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
    }
    return !text.empty();
}

std::string_view next_part(std::string_view& input) {
    const std::size_t end = input.find('\n');
    const std::string_view part = input.substr(0, end);
    input = end == std::string_view::npos ? std::string_view{} : input.substr(end + 1);
    return part;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string_view path = next_part(input);
    const std::string_view query = next_part(input);
    const std::string_view header = input;

    const std::string origin = origin_form(path);
    require(path.ends_with(origin) || (origin.front() == '/' && path.ends_with(std::string_view(origin).substr(1))));
    if (const auto route = route_request("GET", origin, query)) {
        require(route->endpoint != Endpoint::probe || !route->target.empty());
    } else {
        require(route.error().status >= 400 && route.error().status < 500);
        require(printable_line(route.error().reason));
    }
    if (const auto timeout = parse_scrape_timeout(header)) {
        require(*timeout >= std::chrono::nanoseconds::zero() && *timeout <= std::chrono::hours(24));
    } else {
        require(printable_line(timeout.error().reason));
    }
    (void)percent_decoded(query);
    // The query is taken whole, never decoded.
    const RequestTarget split = split_target(path);
    require(split.query.empty() || origin.ends_with("?" + split.query));
    return 0;
}
