#pragma once
// The web configuration file the Prometheus exporters share
// (--web.config.file), YAML:
//   basic_auth_users:
//     prometheus: $2b$10$...      # user: bcrypt hash
// Read at start and again on each reload; a file that fails to read leaves
// the current one in place. Unknown keys are refused with their line and
// column. TLS (tls_server_config) is refused: this exporter does not serve it yet.

#include "exporter/basic_auth.hpp"

#include <expected>
#include <memory>
#include <mutex>
#include <string>

namespace quorlin::exporter {

struct WebConfig {
    // Null when the file asks for no authentication.
    std::shared_ptr<const BasicAuth> basic_auth;
};

// "FILE:LINE:COLUMN: reason" or "FILE: reason" when the file cannot be read.
std::expected<WebConfig, std::string> load_web_config(const std::string& path);

class WebConfigSource {
public:
    // An empty path: no file, nothing asked.
    explicit WebConfigSource(std::string path) : path_(std::move(path)) {}
    WebConfigSource(const WebConfigSource&) = delete;
    WebConfigSource& operator=(const WebConfigSource&) = delete;

    std::expected<void, std::string> reload();
    WebConfig current() const;
    const std::string& path() const noexcept { return path_; }

private:
    const std::string path_;
    mutable std::mutex mutex_;
    WebConfig current_;
};

}  // namespace quorlin::exporter
