#pragma once
// DNS names: the labels of a name as the user gave it, and walking names in a
// received message (RFC 1035 section 4.1.4): labels, compression pointers,
// and the limits that keep a hostile message from looping or reading outside
// itself.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace quorlin {

inline constexpr std::size_t dns_header_bytes = 12;
// Pointers must point strictly backward; at most this many are followed.
inline constexpr std::size_t dns_max_pointers = 128;
// Sum over the labels of (length + 1), plus 1 for the root, may not exceed this.
inline constexpr std::size_t dns_max_name_bytes = 255;

// The name without its trailing dots (all of them): "a.b." and "a.b.." are
// the name "a.b", and "." is the empty name.
constexpr std::string_view without_trailing_dots(std::string_view name) noexcept {
    const auto last = name.find_last_not_of('.');
    return last == std::string_view::npos ? std::string_view{} : name.substr(0, last + 1);
}

// The labels of a name as the user wrote it: trailing dots removed, then
// split at every dot. "" is one empty label and "a..b" has an empty middle
// label; the query builder refuses those, and no label on the wire equals one.
class NameLabels {
public:
    explicit NameLabels(std::string_view name) noexcept : rest_(without_trailing_dots(name)) {}

    // The next label, or nullopt after the last.
    std::optional<std::string_view> next() noexcept {
        if (done_) return std::nullopt;
        const auto dot = rest_.find('.');
        if (dot == std::string_view::npos) {
            done_ = true;
            return rest_;
        }
        const std::string_view label = rest_.substr(0, dot);
        rest_.remove_prefix(dot + 1);
        return label;
    }
    bool exhausted() const noexcept { return done_; }

private:
    std::string_view rest_;
    bool done_ = false;
};

enum class NameMatchKind : std::uint8_t { Mismatch, Match, Malformed };

struct NameMatch {
    NameMatchKind kind = NameMatchKind::Malformed;
    // For Match: the position just after the name (after the first pointer
    // followed, if any, otherwise after the terminating zero byte).
    std::size_t end = 0;

    friend bool operator==(const NameMatch&, const NameMatch&) = default;
};

// Compares the first question's name (starting right after the 12-byte
// header) with `name`, trailing dots removed, ASCII letters compared without
// regard to case and nothing else folded.
NameMatch name_matches(std::span<const std::uint8_t> message, std::string_view name) noexcept;

// The position just after the name starting at `start`, or nullopt when the
// name is malformed or runs past the message.
std::optional<std::size_t> skip_name(std::span<const std::uint8_t> message, std::size_t start) noexcept;

}  // namespace quorlin
