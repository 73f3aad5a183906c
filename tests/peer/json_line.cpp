#include "peer/json_line.hpp"

#include <cstdint>

namespace quorlin::peer {

const JsonValue* JsonValue::find(std::string_view key) const {
    for (const auto& [name, value] : members) {
        if (name == key) return &value;
    }
    return nullptr;
}

namespace {

constexpr int max_depth = 32;

class Parser {
public:
    explicit Parser(std::string_view text) : text_(text) {}

    std::expected<JsonValue, std::string> document() {
        auto value = parse_value(0);
        if (!value) return value;
        skip_space();
        if (pos_ != text_.size()) return fail("trailing characters");
        return value;
    }

private:
    std::unexpected<std::string> fail(std::string_view what) const {
        return std::unexpected("bad JSON at offset " + std::to_string(pos_) + ": " + std::string(what));
    }

    void skip_space() {
        while (pos_ < text_.size() &&
               (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\n' || text_[pos_] == '\r')) {
            ++pos_;
        }
    }

    bool take(char c) {
        skip_space();
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }

    std::expected<JsonValue, std::string> parse_value(int depth) {
        if (depth > max_depth) return fail("nested too deeply");
        skip_space();
        if (pos_ >= text_.size()) return fail("value expected");
        const char c = text_[pos_];
        JsonValue value;
        if (c == '{') {
            ++pos_;
            value.kind = JsonValue::Kind::object;
            if (take('}')) return value;
            do {
                skip_space();
                auto key = parse_string();
                if (!key) return std::unexpected(key.error());
                if (!take(':')) return fail("':' expected");
                auto member = parse_value(depth + 1);
                if (!member) return member;
                value.members.emplace_back(std::move(*key), std::move(*member));
            } while (take(','));
            if (!take('}')) return fail("'}' expected");
            return value;
        }
        if (c == '[') {
            ++pos_;
            value.kind = JsonValue::Kind::array;
            if (take(']')) return value;
            do {
                auto item = parse_value(depth + 1);
                if (!item) return item;
                value.items.push_back(std::move(*item));
            } while (take(','));
            if (!take(']')) return fail("']' expected");
            return value;
        }
        if (c == '"') {
            auto text = parse_string();
            if (!text) return std::unexpected(text.error());
            value.kind = JsonValue::Kind::string;
            value.text = std::move(*text);
            return value;
        }
        for (std::string_view word : {"true", "false", "null"}) {
            if (text_.substr(pos_, word.size()) == word) {
                pos_ += word.size();
                value.kind = word == "null" ? JsonValue::Kind::null : JsonValue::Kind::boolean;
                if (word != "null") value.text = word;
                return value;
            }
        }
        const std::size_t start = pos_;
        if (pos_ < text_.size() && text_[pos_] == '-') ++pos_;
        while (pos_ < text_.size() && std::string_view("0123456789.eE+-").find(text_[pos_]) != std::string_view::npos) {
            ++pos_;
        }
        if (pos_ == start || (pos_ == start + 1 && text_[start] == '-')) return fail("value expected");
        value.kind = JsonValue::Kind::number;
        value.text = std::string(text_.substr(start, pos_ - start));
        return value;
    }

    std::expected<std::string, std::string> parse_string() {
        if (pos_ >= text_.size() || text_[pos_] != '"') return fail("string expected");
        ++pos_;
        std::string out;
        while (pos_ < text_.size()) {
            const char c = text_[pos_++];
            if (c == '"') return out;
            if (static_cast<unsigned char>(c) < 0x20) return fail("control character in string");
            if (c != '\\') {
                out.push_back(c);
                continue;
            }
            if (pos_ >= text_.size()) break;
            const char e = text_[pos_++];
            switch (e) {
                case '"': case '\\': case '/': out.push_back(e); break;
                case 'b': out.push_back('\b'); break;
                case 'f': out.push_back('\f'); break;
                case 'n': out.push_back('\n'); break;
                case 'r': out.push_back('\r'); break;
                case 't': out.push_back('\t'); break;
                case 'u': {
                    auto unit = parse_hex4();
                    if (!unit) return std::unexpected(unit.error());
                    std::uint32_t code = *unit;
                    if (code >= 0xD800 && code < 0xDC00) {
                        if (text_.substr(pos_, 2) != "\\u") return fail("lone surrogate");
                        pos_ += 2;
                        auto low = parse_hex4();
                        if (!low) return std::unexpected(low.error());
                        if (*low < 0xDC00 || *low >= 0xE000) return fail("lone surrogate");
                        code = 0x10000 + ((code - 0xD800) << 10) + (*low - 0xDC00);
                    } else if (code >= 0xDC00 && code < 0xE000) {
                        return fail("lone surrogate");
                    }
                    append_utf8(out, code);
                    break;
                }
                default: return fail("unknown escape");
            }
        }
        return fail("unterminated string");
    }

    std::expected<std::uint32_t, std::string> parse_hex4() {
        if (pos_ + 4 > text_.size()) return fail("short \\u escape");
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            const char h = text_[pos_++];
            value <<= 4;
            if (h >= '0' && h <= '9') value |= static_cast<std::uint32_t>(h - '0');
            else if (h >= 'a' && h <= 'f') value |= static_cast<std::uint32_t>(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F') value |= static_cast<std::uint32_t>(h - 'A' + 10);
            else return fail("bad \\u escape");
        }
        return value;
    }

    static void append_utf8(std::string& out, std::uint32_t code) {
        if (code < 0x80) {
            out.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (code >> 6)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (code >> 12)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (code >> 18)));
            out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

}  // namespace

std::expected<JsonValue, std::string> parse_json(std::string_view text) {
    return Parser(text).document();
}

}  // namespace quorlin::peer
