#pragma once
// What an HTTP request asks the exporter for, decided from its method, path,
// query and scrape-timeout header alone: pure functions, so that they can be
// fuzzed without a server. Whether a named target exists is the fleet's
// answer, not decided here.
//
// A refusal's reason is one line that never repeats request text, except a
// name made only of the characters a target name may hold.

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace quorlin::exporter {

enum class Endpoint : std::uint8_t { probe, metrics, targets, index, healthy };

struct Route {
    Endpoint endpoint = Endpoint::index;
    std::string target;  // /probe only: the target's name, percent-decoded
    bool debug = false;  // /probe only: debug=true asks for the report as text instead of metrics
    // /probe only: the `module` a scrape job copied from another multi-target
    // exporter sends; each target is probed as the fleet file says, so it is ignored.
    std::optional<std::string> module;
};

struct Refusal {
    int status = 400;
    std::string reason;
};

// `path` is the request's path, percent-decoded; `query` the raw text after
// '?' (empty without one). GET and HEAD are served (HEAD's answer is GET's
// without the body); any other method, OPTIONS included, is refused with 405.
// /probe takes `target` once and, optionally, `debug` (true or false) and
// `module` (any value) once each; the other endpoints ignore the query.
std::expected<Route, Refusal> route_request(std::string_view method, std::string_view path, std::string_view query);

// The request target in origin form ("/metrics?x=1"): an absolute-form target
// ("http://host:9723/metrics?x=1", what a client sends through a proxy) loses
// its scheme and authority; any other target is returned as sent ("*" too).
std::string origin_form(std::string_view target);

// A request target split at its first '?': the path percent-decoded (one
// that does not decode is kept as sent: it routes nowhere and is refused),
// the query raw, without the '?'. An absolute-form target is taken in its
// origin form first.
struct RequestTarget {
    std::string path;
    std::string query;
};
RequestTarget split_target(std::string_view target);

// The value of X-Prometheus-Scrape-Timeout-Seconds: a positive decimal
// number of seconds ("10", "9.5"), surrounding blanks allowed; values above a
// day are taken as a day.
std::expected<std::chrono::nanoseconds, Refusal> parse_scrape_timeout(std::string_view value);

// ` "NAME"` (a space, the name in quotes) when `name` is made only of the
// characters a target name may hold and is not too long to repeat; else empty.
std::string quoted_if_plain(std::string_view name);

// `text` with %XX escapes decoded ('+' stays '+'); nothing for a '%' not
// followed by two hexadecimal digits.
std::optional<std::string> percent_decoded(std::string_view text);

}  // namespace quorlin::exporter
