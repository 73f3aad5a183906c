#pragma once
// Reads the one JSON line the peer script prints. Just enough JSON for that:
// objects, arrays, strings (with escapes), numbers, true/false/null.

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorlin::peer {

struct JsonValue {
    enum class Kind { null, boolean, number, string, array, object };
    Kind kind = Kind::null;
    std::string text;  // string contents, number as written, "true"/"false"
    std::vector<JsonValue> items;                              // array
    std::vector<std::pair<std::string, JsonValue>> members;  // object, in order

    const JsonValue* find(std::string_view key) const;
};

// The whole text must be one value (surrounding white space allowed).
std::expected<JsonValue, std::string> parse_json(std::string_view text);

}  // namespace quorlin::peer
