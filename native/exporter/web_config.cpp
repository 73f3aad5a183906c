#include "exporter/web_config.hpp"

#include <yaml-cpp/yaml.h>

#include <utility>
#include <vector>

namespace quorlin::exporter {

namespace {

std::string place(const std::string& path, const YAML::Mark& mark) {
    if (mark.is_null()) return path + ": ";
    return path + ":" + std::to_string(mark.line + 1) + ":" + std::to_string(mark.column + 1) + ": ";
}

std::expected<WebConfig, std::string> web_config_of(const std::string& path, const YAML::Node& root) {
    WebConfig config;
    if (root.IsNull()) return config;
    if (!root.IsMap()) return std::unexpected(place(path, root.Mark()) + "expected a mapping of settings");
    for (const auto& entry : root) {
        const std::string key = entry.first.Scalar();
        if (key == "tls_server_config") {
            return std::unexpected(place(path, entry.first.Mark()) +
                                   "tls_server_config is not served by this exporter: put a TLS proxy in front");
        }
        if (key != "basic_auth_users") {
            return std::unexpected(place(path, entry.first.Mark()) + "unknown key \"" + key + "\"");
        }
        const YAML::Node& users = entry.second;
        if (users.IsNull()) continue;
        if (!users.IsMap()) return std::unexpected(place(path, users.Mark()) + "basic_auth_users must map users to bcrypt hashes");
        std::vector<BasicAuthUser> read;
        for (const auto& user : users) {
            if (!user.first.IsScalar() || !user.second.IsScalar() || user.first.Scalar().empty()) {
                return std::unexpected(place(path, user.first.Mark()) + "each user needs a name and a bcrypt hash");
            }
            read.push_back({user.first.Scalar(), user.second.Scalar()});
        }
        if (read.empty()) continue;
        auto auth = BasicAuth::from(std::move(read));
        if (!auth) return std::unexpected(place(path, users.Mark()) + auth.error());
        config.basic_auth = std::make_shared<const BasicAuth>(std::move(*auth));
    }
    return config;
}

}  // namespace

std::expected<WebConfig, std::string> load_web_config(const std::string& path) {
    // yaml-cpp reports by exceptions; they end here.
    try {
        return web_config_of(path, YAML::LoadFile(path));
    } catch (const YAML::BadFile&) {
        return std::unexpected(path + ": cannot be read");
    } catch (const YAML::Exception& error) {
        return std::unexpected(place(path, error.mark) + error.msg);
    }
}

std::expected<void, std::string> WebConfigSource::reload() {
    if (path_.empty()) return {};
    auto loaded = load_web_config(path_);
    if (!loaded) return std::unexpected(std::move(loaded.error()));
    const std::lock_guard lock(mutex_);
    current_ = std::move(*loaded);
    return {};
}

WebConfig WebConfigSource::current() const {
    const std::lock_guard lock(mutex_);
    return current_;
}

}  // namespace quorlin::exporter
