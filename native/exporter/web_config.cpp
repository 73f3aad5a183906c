#include "exporter/web_config.hpp"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace quorlin::exporter {

namespace {

std::string_view text_of(ClientAuth value) {
    return std::ranges::find(client_auth_names, value, &ClientAuthName::value)->name;
}

std::string place(const std::string& path, const YAML::Mark& mark) {
    if (mark.is_null()) return path + ": ";
    return path + ":" + std::to_string(mark.line + 1) + ":" + std::to_string(mark.column + 1) + ": ";
}

using Refusal = std::unexpected<std::string>;

// A relative path names a file beside the web configuration file.
std::string beside(const std::string& config_path, const std::string& path) {
    if (path.empty() || path.front() == '/') return path;
    const std::size_t slash = config_path.rfind('/');
    return slash == std::string::npos ? path : config_path.substr(0, slash + 1) + path;
}

std::expected<TlsSettings, std::string> tls_settings_of(const std::string& path, const YAML::Node& section) {
    if (!section.IsMap()) return Refusal(place(path, section.Mark()) + "tls_server_config must be a mapping of settings");
    TlsSettings tls;
    bool client_auth_given = false;
    for (const auto& entry : section) {
        const std::string key = entry.first.Scalar();
        const YAML::Node& value = entry.second;
        if (!value.IsScalar() || value.Scalar().empty()) {
            return Refusal(place(path, value.Mark()) + key + " must be a non-empty text");
        }
        const std::string& text = value.Scalar();
        if (key == "cert_file") {
            tls.cert_file = beside(path, text);
        } else if (key == "key_file") {
            tls.key_file = beside(path, text);
        } else if (key == "client_ca_file") {
            tls.client_ca_file = beside(path, text);
        } else if (key == "client_auth_type") {
            const auto* named = std::ranges::find(client_auth_names, text, &ClientAuthName::name);
            if (named == std::ranges::end(client_auth_names)) {
                return Refusal(place(path, value.Mark()) + "client_auth_type \"" + text +
                               "\" is not served: use NoClientCert, VerifyClientCertIfGiven or "
                               "RequireAndVerifyClientCert");
            }
            tls.client_auth = named->value;
            client_auth_given = true;
        } else if (key == "min_version") {
            if (text != "TLS12" && text != "TLS13") {
                return Refusal(place(path, value.Mark()) + "min_version \"" + text + "\" is not served: use TLS12 or TLS13");
            }
            tls.min_version = text == "TLS13" ? TlsVersion::tls13 : TlsVersion::tls12;
        } else {
            return Refusal(place(path, entry.first.Mark()) + "unknown key \"" + key + "\" in tls_server_config");
        }
    }
    if (tls.cert_file.empty() || tls.key_file.empty()) {
        return Refusal(place(path, section.Mark()) + "tls_server_config needs both cert_file and key_file");
    }
    const bool verifies = tls.client_auth != ClientAuth::none;
    if (verifies && tls.client_ca_file.empty()) {
        return Refusal(place(path, section.Mark()) + "client_auth_type " + std::string(text_of(tls.client_auth)) +
                       " needs client_ca_file");
    }
    if (!verifies && !tls.client_ca_file.empty()) {
        return Refusal(place(path, section.Mark()) + (client_auth_given ? "client_auth_type NoClientCert" : "no client_auth_type") +
                       " with client_ca_file: say which client certificates to ask for");
    }
    return tls;
}

std::expected<WebConfig, std::string> web_config_of(const std::string& path, const YAML::Node& root) {
    WebConfig config;
    if (root.IsNull()) return config;
    if (!root.IsMap()) return std::unexpected(place(path, root.Mark()) + "expected a mapping of settings");
    for (const auto& entry : root) {
        const std::string key = entry.first.Scalar();
        if (key == "tls_server_config") {
            auto tls = tls_settings_of(path, entry.second);
            if (!tls) return Refusal(std::move(tls.error()));
            config.tls = std::move(*tls);
            continue;
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

std::expected<void, std::string> WebConfigSource::reload(const Taker& take) {
    if (path_.empty()) return {};
    auto loaded = load_web_config(path_);
    if (!loaded) return std::unexpected(std::move(loaded.error()));
    if (take) {
        if (auto taken = take(*loaded); !taken) return std::unexpected(std::move(taken.error()));
    }
    const std::lock_guard lock(mutex_);
    if (loaded->basic_auth && current_.basic_auth) loaded->basic_auth->remember_passes_of(*current_.basic_auth);
    current_ = std::move(*loaded);
    return {};
}

WebConfig WebConfigSource::current() const {
    const std::lock_guard lock(mutex_);
    return current_;
}

}  // namespace quorlin::exporter
