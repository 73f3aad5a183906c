#include "common/ipv4_octets.hpp"

namespace quorlin {

std::string ipv4_text(const Ipv4Octets& address) {
    std::string text;
    for (std::size_t i = 0; i < address.size(); ++i) {
        if (i != 0) text += '.';
        text += std::to_string(address[i]);
    }
    return text;
}

}  // namespace quorlin
