#include "common/counted.hpp"

namespace quorlin {

std::string counted(std::size_t count, std::string_view singular, std::string_view plural) {
    std::string out = std::to_string(count) + " ";
    if (count == 1) return out.append(singular);
    if (plural.empty()) return out.append(singular).append("s");
    return out.append(plural);
}

}  // namespace quorlin
