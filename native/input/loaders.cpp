#include "input/loaders.hpp"

#include "common/utf8.hpp"
#include "input/careful_file.hpp"

#include <utility>

namespace quorlin::input {

namespace {

// The whole file through read_file_carefully, refused unless it is UTF-8 text;
// `text_kind` names the file in that refusal.
std::expected<SecretBuffer, std::string> read_text_file(const std::string& path, std::string_view kind,
                                                        std::string_view text_kind, std::size_t limit_bytes,
                                                        std::string_view shown) {
    auto contents = read_file_carefully(path, kind, limit_bytes, shown);
    if (contents && !is_valid_utf8(contents->text())) {
        return std::unexpected(std::string(text_kind) + " file must be valid UTF-8");
    }
    return contents;
}

}  // namespace

std::expected<ProbeConfig, std::string> load_config_file(const std::string& path, std::string_view shown) {
    auto contents = read_text_file(path, "configuration", "WireGuard configuration", config_file_limit_bytes, shown);
    if (!contents) return std::unexpected(std::move(contents.error()));
    auto config = ProbeConfig::parse(contents->text());
    if (!config) return std::unexpected(config.error().to_text());
    return std::move(*config);
}

std::expected<ProbeConfig, std::string> load_key_file(const std::string& path, std::string_view peer_key,
                                                      std::string endpoint, std::string_view shown) {
    auto contents = read_text_file(path, "private key", "private key", key_file_limit_bytes, shown);
    if (!contents) return std::unexpected(std::move(contents.error()));
    auto config = ProbeConfig::from_parts(contents->text(), peer_key, std::move(endpoint));
    if (!config) return std::unexpected(config.error().to_text());
    return std::move(*config);
}

}  // namespace quorlin::input
