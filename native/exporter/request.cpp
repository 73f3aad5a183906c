#include "exporter/request.hpp"

#include "common/hex_digit.hpp"
#include "fleet/names.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <system_error>

namespace quorlin::exporter {

namespace {

constexpr std::string_view timeout_header = "X-Prometheus-Scrape-Timeout-Seconds";
constexpr double longest_scrape_timeout_s = 86'400.0;
// Longer names are not repeated in a reason, so that a reason stays one short line.
constexpr std::size_t longest_repeated_name = 128;

Refusal bad_request(std::string reason) { return Refusal{400, std::move(reason)}; }

// What /probe's query asks: `target=NAME`, and `debug=true` or `debug=false`
// and `module=ANY` at most once each.
std::expected<Route, Refusal> probe_route(std::string_view query) {
    std::optional<std::string> target;
    std::optional<bool> debug;
    std::optional<std::string> module;
    while (!query.empty()) {
        const std::size_t end = query.find('&');
        const std::string_view pair = query.substr(0, end);
        query = end == std::string_view::npos ? std::string_view{} : query.substr(end + 1);
        if (pair.empty()) continue;  // "a=1&&b=2"
        const std::size_t equals = pair.find('=');
        auto name = percent_decoded(pair.substr(0, equals));
        auto value = percent_decoded(equals == std::string_view::npos ? std::string_view{} : pair.substr(equals + 1));
        if (!name || !value) return std::unexpected(bad_request("malformed query: '%' must start a %XX escape"));
        if (*name == "debug") {
            if (debug) return std::unexpected(bad_request("debug given more than once"));
            if (*value != "true" && *value != "false") return std::unexpected(bad_request("debug must be true or false"));
            debug = *value == "true";
            continue;
        }
        if (*name == "module") {
            if (module) return std::unexpected(bad_request("module given more than once"));
            module = std::move(*value);
            continue;
        }
        if (*name != "target") {
            return std::unexpected(bad_request("unknown query parameter" + quoted_if_plain(*name) +
                                               ": /probe takes only target=NAME"));
        }
        if (target) return std::unexpected(bad_request("target given more than once"));
        target = std::move(*value);
    }
    if (!target || target->empty()) return std::unexpected(bad_request("missing target: ask for /probe?target=NAME"));
    return Route{Endpoint::probe, std::move(*target), debug.value_or(false), std::move(module)};
}

}  // namespace

RequestTarget split_target(std::string_view target) {
    const std::string origin = origin_form(target);
    const std::string_view whole = origin;
    const std::size_t question = whole.find('?');
    const std::string_view raw_path = whole.substr(0, question);
    RequestTarget split{percent_decoded(raw_path).value_or(std::string(raw_path)), {}};
    if (question != std::string_view::npos) split.query = whole.substr(question + 1);
    return split;
}

std::string quoted_if_plain(std::string_view name) {
    if (name.size() > longest_repeated_name || !fleet::is_target_name(name)) return "";
    return " \"" + std::string(name) + "\"";
}

std::optional<std::string> percent_decoded(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] != '%') {
            out.push_back(text[at]);
            continue;
        }
        if (text.size() - at < 3) return std::nullopt;
        const int high = hex_value(text[at + 1]);
        const int low = hex_value(text[at + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        out.push_back(static_cast<char>(high * 16 + low));
        at += 2;
    }
    return out;
}

std::string origin_form(std::string_view target) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    const auto starts_with = [&](std::string_view prefix) {
        return target.size() >= prefix.size() &&
               std::equal(prefix.begin(), prefix.end(), target.begin(), [&](char p, char t) { return p == lower(t); });
    };
    std::size_t scheme_end = 0;
    if (starts_with("http://")) scheme_end = 7;
    else if (starts_with("https://")) scheme_end = 8;
    else return std::string(target);
    const std::size_t path_start = target.find_first_of("/?", scheme_end);
    if (path_start == std::string_view::npos) return "/";
    // "http://host?x=1" asks for "/?x=1".
    if (target[path_start] == '?') return "/" + std::string(target.substr(path_start));
    return std::string(target.substr(path_start));
}

std::expected<Route, Refusal> route_request(std::string_view method, std::string_view path, std::string_view query) {
    if (method != "GET" && method != "HEAD") return std::unexpected(Refusal{405, "only GET and HEAD are served"});
    if (path == "/") return Route{Endpoint::index, {}};
    if (path == "/metrics") return Route{Endpoint::metrics, {}};
    if (path == "/targets") return Route{Endpoint::targets, {}};
    if (path == "/-/healthy") return Route{Endpoint::healthy, {}};
    if (path != "/probe") return std::unexpected(Refusal{404, "not found: the exporter serves /probe?target=NAME, "
                                                              "/metrics, /targets, / and /-/healthy"});
    return probe_route(query);
}

std::expected<std::chrono::nanoseconds, Refusal> parse_scrape_timeout(std::string_view value) {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!value.empty() && blank(value.front())) value.remove_prefix(1);
    while (!value.empty() && blank(value.back())) value.remove_suffix(1);
    const auto refused = [] {
        return std::unexpected(bad_request(std::string(timeout_header) + " must be a positive number of seconds"));
    };
    // Digits with an optional fraction, as Prometheus writes it: no sign,
    // exponent, infinity or NaN, which from_chars would otherwise take.
    if (value.empty() || value.find_first_not_of("0123456789.") != std::string_view::npos) return refused();
    double seconds = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), seconds,
                                              std::chars_format::fixed);
    if (error != std::errc{} || end != value.data() + value.size() || !std::isfinite(seconds) || seconds <= 0) {
        return refused();
    }
    seconds = std::min(seconds, longest_scrape_timeout_s);
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(seconds));
}

}  // namespace quorlin::exporter
