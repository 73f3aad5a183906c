#pragma once
// A count with its noun: "1 target", "2 targets".

#include <cstddef>
#include <string>
#include <string_view>

namespace quorlin {

// `count` and the noun, singular for exactly one; the plural is the
// singular with an "s" unless given.
std::string counted(std::size_t count, std::string_view singular, std::string_view plural = {});

}  // namespace quorlin
