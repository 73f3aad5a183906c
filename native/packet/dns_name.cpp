#include "packet/dns_name.hpp"

#include <algorithm>

namespace quorlin {
namespace {

enum class WalkStop : std::uint8_t { End, Stopped, Malformed };

struct WalkResult {
    WalkStop stop;
    std::size_t end;  // for End: position just after the name
};

// Follows the name at `start`, handing each label to `visit`; a visit that
// returns false stops the walk (Stopped). Every byte read is bounds-checked.
template <typename Visit>
WalkResult walk_name(std::span<const std::uint8_t> message, std::size_t start, Visit&& visit) {
    std::size_t position = start;
    std::size_t name_bytes = 1;
    std::size_t pointers = 0;
    std::optional<std::size_t> after_first_pointer;
    while (position < message.size()) {
        const std::uint8_t length = message[position];
        if (length == 0) {
            return {WalkStop::End, after_first_pointer.value_or(position + 1)};
        }
        switch (length & 0xC0) {
        case 0xC0: {
            if (position + 1 >= message.size()) return {WalkStop::Malformed, 0};
            const std::size_t target = (static_cast<std::size_t>(length & 0x3F) << 8) | message[position + 1];
            if (target >= position) return {WalkStop::Malformed, 0};
            if (++pointers > dns_max_pointers) return {WalkStop::Malformed, 0};
            if (!after_first_pointer) after_first_pointer = position + 2;
            position = target;
            continue;
        }
        case 0x00:
            break;
        default:  // 01 and 10 are reserved label types
            return {WalkStop::Malformed, 0};
        }
        name_bytes += static_cast<std::size_t>(length) + 1;
        if (name_bytes > dns_max_name_bytes) return {WalkStop::Malformed, 0};
        if (message.size() - (position + 1) < length) return {WalkStop::Malformed, 0};
        if (!visit(message.subspan(position + 1, length))) return {WalkStop::Stopped, 0};
        position += static_cast<std::size_t>(length) + 1;
    }
    return {WalkStop::Malformed, 0};
}

constexpr std::uint8_t ascii_lower(std::uint8_t byte) noexcept {
    return (byte >= 'A' && byte <= 'Z') ? static_cast<std::uint8_t>(byte - 'A' + 'a') : byte;
}

bool same_label(std::span<const std::uint8_t> wire, std::string_view queried) noexcept {
    return std::equal(wire.begin(), wire.end(), queried.begin(), queried.end(),
                      [](std::uint8_t a, char b) { return ascii_lower(a) == ascii_lower(static_cast<std::uint8_t>(b)); });
}

}  // namespace

NameMatch name_matches(std::span<const std::uint8_t> message, std::string_view name) noexcept {
    NameLabels labels(name);
    const WalkResult walk = walk_name(message, dns_header_bytes, [&](std::span<const std::uint8_t> wire) {
        const auto queried = labels.next();
        return queried && same_label(wire, *queried);
    });
    switch (walk.stop) {
    case WalkStop::End:
        if (labels.exhausted()) return {NameMatchKind::Match, walk.end};
        return {NameMatchKind::Mismatch, 0};
    case WalkStop::Stopped:
        return {NameMatchKind::Mismatch, 0};
    case WalkStop::Malformed:
        break;
    }
    return {NameMatchKind::Malformed, 0};
}

std::optional<std::size_t> skip_name(std::span<const std::uint8_t> message, std::size_t start) noexcept {
    const WalkResult walk = walk_name(message, start, [](std::span<const std::uint8_t>) { return true; });
    if (walk.stop != WalkStop::End) return std::nullopt;
    return walk.end;
}

}  // namespace quorlin
