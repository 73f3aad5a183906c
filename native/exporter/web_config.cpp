#include "exporter/web_config.hpp"

#include "exporter/tls_names.hpp"
#include "exporter/tls_priorities.hpp"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace quorlin::exporter {

namespace {

std::string_view text_of(ClientAuth value) {
    return std::ranges::find(client_auth_names, value, &ClientAuthName::value)->name;
}

std::string_view text_of(TlsVersion value) {
    return std::ranges::find(version_names, std::optional(value), &VersionName::served)->name;
}

std::string place(const std::string& path, const YAML::Mark& mark) {
    if (mark.is_null()) return path + ": ";
    return path + ":" + std::to_string(mark.line + 1) + ":" + std::to_string(mark.column + 1) + ": ";
}

using Refusal = std::unexpected<std::string>;

// Keys of the standard file this exporter does not serve, and what to use instead.
struct NotServed {
    std::string_view key;
    std::string_view instead;
};
constexpr NotServed not_served[] = {
    {"cert", "cert_file"},
    {"key", "key_file"},
    {"client_ca", "client_ca_file"},
};

// A relative path names a file beside the web configuration file.
std::string beside(const std::string& config_path, const std::string& path) {
    if (path.empty() || path.front() == '/') return path;
    const std::size_t slash = config_path.rfind('/');
    return slash == std::string::npos ? path : config_path.substr(0, slash + 1) + path;
}

// A list of non-empty texts; left empty (`key:`) it is an empty list.
std::expected<std::vector<YAML::Node>, std::string> text_list(const std::string& path, const std::string& key,
                                                              const YAML::Node& value) {
    std::vector<YAML::Node> items;
    if (value.IsNull()) return items;
    const std::string refusal = place(path, value.Mark()) + key + " must be a list of non-empty texts";
    if (!value.IsSequence()) return Refusal(refusal);
    for (const auto& item : value) {
        if (!item.IsScalar() || item.Scalar().empty()) return Refusal(refusal);
        items.push_back(item);
    }
    return items;
}

std::expected<bool, std::string> boolean(const std::string& path, const std::string& key, const YAML::Node& value) {
    bool read = false;
    if (!value.IsScalar() || !YAML::convert<bool>::decode(value, read)) {
        return Refusal(place(path, value.Mark()) + key + " must be true or false");
    }
    return read;
}

// "cipher_suites item 2: "NAME" ..." at the item's line and column.
std::string item_refusal(const std::string& path, const std::string& key, std::size_t index, const YAML::Node& item,
                         std::string_view why) {
    return place(path, item.Mark()) + key + " item " + std::to_string(index + 1) + ": \"" + item.Scalar() + "\" " +
           std::string(why);
}

std::expected<void, std::string> read_cipher_suites(const std::string& path, const YAML::Node& value, TlsSettings& tls) {
    auto items = text_list(path, "cipher_suites", value);
    if (!items) return Refusal(std::move(items.error()));
    for (std::size_t i = 0; i < items->size(); ++i) {
        const YAML::Node& item = (*items)[i];
        const auto* named = std::ranges::find(cipher_suite_names, item.Scalar(), &CipherSuiteName::name);
        if (named == std::ranges::end(cipher_suite_names)) {
            return Refusal(item_refusal(path, "cipher_suites", i, item, "is not a cipher suite name"));
        }
        switch (gnutls_cipher_suite_support(named->code)) {
            case SuiteSupport::absent:
                return Refusal(item_refusal(path, "cipher_suites", i, item, "has no GnuTLS equivalent"));
            case SuiteSupport::weak:
                return Refusal(item_refusal(path, "cipher_suites", i, item, "is left out of GnuTLS's defaults as weak"));
            case SuiteSupport::served: break;
        }
        if (std::ranges::find(tls.cipher_suites, named->code) == tls.cipher_suites.end()) {
            tls.cipher_suites.push_back(named->code);
        }
    }
    return {};
}

std::expected<void, std::string> read_curves(const std::string& path, const YAML::Node& value, TlsSettings& tls) {
    auto items = text_list(path, "curve_preferences", value);
    if (!items) return Refusal(std::move(items.error()));
    for (std::size_t i = 0; i < items->size(); ++i) {
        const YAML::Node& item = (*items)[i];
        const auto* named = std::ranges::find(curve_names, item.Scalar(), &CurveName::name);
        if (named == std::ranges::end(curve_names)) {
            return Refusal(item_refusal(path, "curve_preferences", i, item, "is not a curve name"));
        }
        if (!gnutls_has_group(named->group)) {
            return Refusal(item_refusal(path, "curve_preferences", i, item, "has no GnuTLS equivalent"));
        }
        if (std::ranges::find(tls.curve_preferences, named->group) == tls.curve_preferences.end()) {
            tls.curve_preferences.push_back(named->group);
        }
    }
    return {};
}

std::expected<TlsVersion, std::string> version(const std::string& path, const std::string& key, const YAML::Node& value) {
    const auto* named = std::ranges::find(version_names, value.Scalar(), &VersionName::name);
    if (named == std::ranges::end(version_names) || !named->served) {
        return Refusal(place(path, value.Mark()) + key + " \"" + value.Scalar() + "\" is not served: use TLS12 or TLS13");
    }
    return *named->served;
}

// One key whose value is a text.
std::expected<void, std::string> read_text_setting(const std::string& path, const std::string& key,
                                                   const YAML::Node& value, TlsSettings& tls, bool& client_auth_given) {
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
    } else if (key == "min_version" || key == "max_version") {
        auto read = version(path, key, value);
        if (!read) return Refusal(std::move(read.error()));
        (key == "min_version" ? tls.min_version : tls.max_version) = *read;
    }
    return {};
}

bool is_text_setting(std::string_view key) {
    return key == "cert_file" || key == "key_file" || key == "client_ca_file" || key == "client_auth_type" ||
           key == "min_version" || key == "max_version";
}

std::expected<TlsSettings, std::string> tls_settings_of(const std::string& path, const YAML::Node& section) {
    if (!section.IsMap()) return Refusal(place(path, section.Mark()) + "tls_server_config must be a mapping of settings");
    TlsSettings tls;
    bool client_auth_given = false;
    YAML::Mark suites_mark = section.Mark();
    for (const auto& entry : section) {
        const std::string key = entry.first.Scalar();
        const YAML::Node& value = entry.second;
        std::expected<void, std::string> read;
        if (key == "cipher_suites") {
            suites_mark = value.Mark();
            read = read_cipher_suites(path, value, tls);
        } else if (key == "curve_preferences") {
            read = read_curves(path, value, tls);
        } else if (key == "client_allowed_sans") {
            auto items = text_list(path, key, value);
            if (!items) return Refusal(std::move(items.error()));
            for (const auto& item : *items) tls.client_allowed_sans.push_back(item.Scalar());
        } else if (key == "prefer_server_cipher_suites") {
            auto prefer = boolean(path, key, value);
            if (!prefer) return Refusal(std::move(prefer.error()));
            tls.prefer_server_cipher_suites = *prefer;
        } else if (is_text_setting(key)) {
            if (!value.IsScalar() || value.Scalar().empty()) {
                return Refusal(place(path, value.Mark()) + key + " must be a non-empty text");
            }
            read = read_text_setting(path, key, value, tls, client_auth_given);
        } else if (const auto* other = std::ranges::find(not_served, key, &NotServed::key);
                   other != std::ranges::end(not_served)) {
            return Refusal(place(path, entry.first.Mark()) + key + " (the PEM text in the file) is not served: use " +
                           std::string(other->instead));
        } else {
            return Refusal(place(path, entry.first.Mark()) + "unknown key \"" + key + "\" in tls_server_config");
        }
        if (!read) return Refusal(std::move(read.error()));
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
    // A client without a certificate has no names to match.
    if (!tls.client_allowed_sans.empty() && tls.client_auth != ClientAuth::require_and_verify) {
        return Refusal(place(path, section.Mark()) + "client_allowed_sans needs client_auth_type RequireAndVerifyClientCert");
    }
    if (tls.max_version < tls.min_version) {
        return Refusal(place(path, section.Mark()) + "max_version " + std::string(text_of(tls.max_version)) +
                       " is below min_version " + std::string(text_of(tls.min_version)));
    }
    auto priorities = tls_priorities(tls);
    if (!priorities) return Refusal(place(path, suites_mark) + priorities.error());
    tls.priorities = std::move(*priorities);
    return tls;
}

std::expected<std::vector<ResponseHeader>, std::string> http_settings_of(const std::string& path,
                                                                        const YAML::Node& section) {
    std::vector<ResponseHeader> headers;
    if (section.IsNull()) return headers;
    if (!section.IsMap()) return Refusal(place(path, section.Mark()) + "http_server_config must be a mapping of settings");
    for (const auto& entry : section) {
        const std::string key = entry.first.Scalar();
        const YAML::Node& value = entry.second;
        if (key == "http2") {
            // Accepted for files shared with other exporters; answers are HTTP/1.1 either way.
            if (auto read = boolean(path, key, value); !read) return Refusal(std::move(read.error()));
        } else if (key == "headers") {
            if (value.IsNull()) continue;
            if (!value.IsMap()) return Refusal(place(path, value.Mark()) + "headers must map header names to values");
            for (const auto& header : value) {
                if (!header.first.IsScalar() || !(header.second.IsScalar() || header.second.IsNull())) {
                    return Refusal(place(path, header.first.Mark()) + "headers must map header names to values");
                }
                const std::string value_text = header.second.IsNull() ? "" : header.second.Scalar();
                if (auto checked = check_response_header(header.first.Scalar(), value_text); !checked) {
                    return Refusal(place(path, header.first.Mark()) + checked.error());
                }
                // Blank: left unset.
                if (!value_text.empty()) headers.push_back({header.first.Scalar(), value_text});
            }
        } else {
            return Refusal(place(path, entry.first.Mark()) + "unknown key \"" + key + "\" in http_server_config");
        }
    }
    return headers;
}

std::expected<std::shared_ptr<const BasicAuth>, std::string> basic_auth_of(const std::string& path,
                                                                          const YAML::Node& users) {
    if (users.IsNull()) return nullptr;
    if (!users.IsMap()) return Refusal(place(path, users.Mark()) + "basic_auth_users must map users to bcrypt hashes");
    std::vector<BasicAuthUser> read;
    for (const auto& user : users) {
        if (!user.first.IsScalar() || !user.second.IsScalar() || user.first.Scalar().empty()) {
            return Refusal(place(path, user.first.Mark()) + "each user needs a name and a bcrypt hash");
        }
        read.push_back({user.first.Scalar(), user.second.Scalar()});
    }
    if (read.empty()) return nullptr;
    auto auth = BasicAuth::from(std::move(read));
    if (!auth) return Refusal(place(path, users.Mark()) + auth.error());
    return std::make_shared<const BasicAuth>(std::move(*auth));
}

std::expected<WebConfig, std::string> web_config_of(const std::string& path, const YAML::Node& root) {
    WebConfig config;
    if (root.IsNull()) return config;
    if (!root.IsMap()) return Refusal(place(path, root.Mark()) + "expected a mapping of settings");
    for (const auto& entry : root) {
        const std::string key = entry.first.Scalar();
        if (key == "tls_server_config") {
            auto tls = tls_settings_of(path, entry.second);
            if (!tls) return Refusal(std::move(tls.error()));
            config.tls = std::move(*tls);
        } else if (key == "http_server_config") {
            auto headers = http_settings_of(path, entry.second);
            if (!headers) return Refusal(std::move(headers.error()));
            config.headers = std::move(*headers);
        } else if (key == "basic_auth_users") {
            auto auth = basic_auth_of(path, entry.second);
            if (!auth) return Refusal(std::move(auth.error()));
            config.basic_auth = std::move(*auth);
        } else if (key == "rate_limit") {
            return Refusal(place(path, entry.first.Mark()) +
                           "rate_limit is not served: the exporter caps connections per client address instead");
        } else {
            return Refusal(place(path, entry.first.Mark()) + "unknown key \"" + key + "\"");
        }
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
