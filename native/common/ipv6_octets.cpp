#include "common/ipv6_octets.hpp"

#include <cstdio>

namespace quorlin {

// Written here rather than by inet_ntop, whose output for some addresses
// (::ffff:0:0/96 and the old IPv4-compatible ::/96 forms) differs between C
// libraries: the report's text must not depend on the machine.
std::string ipv6_text(const Ipv6Octets& address) {
    std::array<unsigned, 8> groups{};
    for (std::size_t i = 0; i < groups.size(); ++i) groups[i] = (unsigned{address[2 * i]} << 8) | address[2 * i + 1];

    std::size_t best_start = groups.size(), best_length = 0;
    for (std::size_t start = 0; start < groups.size();) {
        if (groups[start] != 0) {
            ++start;
            continue;
        }
        std::size_t end = start;
        while (end < groups.size() && groups[end] == 0) ++end;
        if (end - start >= 2 && end - start > best_length) best_start = start, best_length = end - start;
        start = end;
    }

    std::string text;
    for (std::size_t i = 0; i < groups.size(); ++i) {
        if (i == best_start) {
            text += "::";
            i += best_length - 1;
            continue;
        }
        if (!text.empty() && text.back() != ':') text += ':';
        char group[5];
        std::snprintf(group, sizeof group, "%x", groups[i]);
        text += group;
    }
    return text;
}

}  // namespace quorlin
