#include "probe/http_message.hpp"

#include "common/version.hpp"

#include <algorithm>
#include <charconv>

namespace quorlin {

namespace {

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

bool same_name(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        return lower(x) == lower(y);
    });
}

}  // namespace

std::string http_request(const HttpTarget& target) {
    return "GET " + target.path + " HTTP/1.1\r\nHost: " + target.host_header() + "\r\nUser-Agent: quorlin/" +
           std::string(version) + "\r\nAccept: */*\r\nConnection: close\r\n\r\n";
}

std::pair<HeadReading, HttpHead> read_http_head(std::string_view received) {
    HttpHead head;
    const std::size_t end = received.find("\r\n\r\n");
    if (end == std::string_view::npos) return {HeadReading::incomplete, head};
    head.head_bytes = end + 4;
    std::string_view rest = received.substr(0, end + 2);
    const auto next_line = [&rest] {
        const std::size_t eol = rest.find("\r\n");
        const std::string_view line = rest.substr(0, eol);
        rest.remove_prefix(eol + 2);
        return line;
    };
    const std::string_view status_line = next_line();
    // "HTTP/1.1 200 OK": a version, a three-digit code, an optional reason.
    if (status_line.size() < 12 || !status_line.starts_with("HTTP/1.") || status_line[8] != ' ') {
        return {HeadReading::malformed, head};
    }
    const std::string_view code = status_line.substr(9, 3);
    const auto [ptr, error] = std::from_chars(code.data(), code.data() + code.size(), head.status);
    if (error != std::errc{} || ptr != code.data() + 3 || head.status < 100 || head.status > 599 ||
        (status_line.size() > 12 && status_line[12] != ' ')) {
        return {HeadReading::malformed, head};
    }
    head.reason = std::string(trimmed(status_line.substr(std::min<std::size_t>(13, status_line.size()))));
    while (!rest.empty()) {
        const std::string_view line = next_line();
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) return {HeadReading::malformed, head};
        const std::string_view name = line.substr(0, colon);
        const std::string_view value = trimmed(line.substr(colon + 1));
        if (same_name(name, "Location")) head.location = std::string(value);
        if (same_name(name, "Content-Length")) {
            std::size_t length = 0;
            const auto [at, failed] = std::from_chars(value.data(), value.data() + value.size(), length);
            if (failed == std::errc{} && at == value.data() + value.size()) head.content_length = length;
        }
    }
    return {HeadReading::complete, head};
}

bool status_accepted(const HttpStatusRanges& ranges, std::uint16_t status) noexcept {
    return std::ranges::any_of(ranges, [status](const auto& range) {
        return status >= range.first && status <= range.second;
    });
}

}  // namespace quorlin
