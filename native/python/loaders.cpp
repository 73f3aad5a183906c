#include "python/loaders.hpp"

#include "python/secret_file.hpp"
#include "python/utf8.hpp"

#include <utility>

namespace quorlin::python {

namespace {

std::string not_utf8_message(std::string_view label) { return std::string(label) + " file must be valid UTF-8"; }

}  // namespace

std::expected<ProbeConfig, std::string> load_config_file(const std::string& path) {
    auto contents = read_secret_file(path, "configuration", config_file_limit_bytes);
    if (!contents) return std::unexpected(std::move(contents.error()));
    if (!is_valid_utf8(contents->text())) return std::unexpected(not_utf8_message("WireGuard configuration"));
    auto config = ProbeConfig::parse(contents->text());
    if (!config) return std::unexpected(config.error().to_text());
    return std::move(*config);
}

std::expected<ProbeConfig, std::string> load_key_file(const std::string& path, std::string_view peer_key,
                                                      std::string endpoint) {
    auto contents = read_secret_file(path, "private key", key_file_limit_bytes);
    if (!contents) return std::unexpected(std::move(contents.error()));
    if (!is_valid_utf8(contents->text())) return std::unexpected(not_utf8_message("private key"));
    auto config = ProbeConfig::from_parts(contents->text(), peer_key, std::move(endpoint));
    if (!config) return std::unexpected(config.error().to_text());
    return std::move(*config);
}

}  // namespace quorlin::python
