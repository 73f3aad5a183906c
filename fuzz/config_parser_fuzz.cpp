// Feeds arbitrary bytes to the configuration parser and the key and prefix
// decoders: each must return a value or an error, never crash, and whatever it
// accepts must hold its documented shape.

#include "config/base64_key.hpp"
#include "config/ip_address.hpp"
#include "config/ipv4_cidr.hpp"
#include "config/probe_config.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quorlin;
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    if (auto config = ProbeConfig::parse(text)) {
        check(config->client_public_key().size() == key_text_chars);
        check(config->endpoint.find('\n') == std::string::npos);
        check(config->endpoint.find('#') == std::string::npos);
        if (config->address) check(config->address->prefix_len <= 32);
        for (const Ipv4Cidr& cidr : config->allowed_ips) check(cidr.prefix_len <= 32);
    } else {
        check(!config.error().to_text().empty());
    }

    // The only key text accepted is the canonical one, so it must re-encode
    // to itself.
    std::array<std::uint8_t, key_size_bytes> key{};
    if (decode_base64_key(text, key)) check(encode_base64_key(key) == text);

    if (auto cidr = Ipv4Cidr::from_str(text)) check(cidr->prefix_len <= 32);
    if (auto address = parse_ipv4_address(text)) check(address->to_text() == text);
    (void)parse_ipv6_address(text);

    const std::size_t half = size / 2;
    if (auto config = ProbeConfig::from_parts(text.substr(0, half), text.substr(half), "endpoint")) {
        check(config->endpoint == "endpoint");
    }
    return 0;
}
