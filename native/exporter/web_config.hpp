#pragma once
// The web configuration file the Prometheus exporters share
// (--web.config.file), YAML:
//   basic_auth_users:
//     prometheus: $2b$10$...      # user: bcrypt hash
//   tls_server_config: ...         # see tls_settings.hpp
//   http_server_config:
//     headers: {X-Frame-Options: deny}  # added to every answer
//     http2: true                  # accepted; answers are HTTP/1.1
// Read at start and again on each reload; a file that fails to read, or that
// the server cannot take without a restart, leaves the current one in place.
// Unknown keys are refused with their line and column.

#include "exporter/basic_auth.hpp"
#include "exporter/response_headers.hpp"
#include "exporter/tls_settings.hpp"

#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quorlin::exporter {

struct WebConfig {
    // Null when the file asks for no authentication.
    std::shared_ptr<const BasicAuth> basic_auth;
    // Nothing: plain HTTP.
    std::optional<TlsSettings> tls;
    // Added to every answer, in the file's order.
    std::vector<ResponseHeader> headers;
};

// "FILE:LINE:COLUMN: reason" or "FILE: reason" when the file cannot be read.
std::expected<WebConfig, std::string> load_web_config(const std::string& path);

class WebConfigSource {
public:
    // An empty path: no file, nothing asked.
    explicit WebConfigSource(std::string path) : path_(std::move(path)) {}
    WebConfigSource(const WebConfigSource&) = delete;
    WebConfigSource& operator=(const WebConfigSource&) = delete;

    // Reads the file; `take`, when given, sees the new settings first and may
    // refuse them (the message says why), leaving the current ones in place.
    using Taker = std::function<std::expected<void, std::string>(const WebConfig&)>;
    std::expected<void, std::string> reload(const Taker& take = {});
    WebConfig current() const;
    const std::string& path() const noexcept { return path_; }

private:
    const std::string path_;
    mutable std::mutex mutex_;
    WebConfig current_;
};

}  // namespace quorlin::exporter
