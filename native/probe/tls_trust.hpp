#pragma once
// What a TLS check trusts: the system's store, or the CAs of a file the
// caller names, checked when the plan is made so that a bad file is refused
// before any traffic.

#include <optional>
#include <string>
#include <string_view>

namespace quorlin {

// Why `pem` cannot serve as the CAs to trust ("holds no PEM certificate"),
// or nothing when it holds at least one certificate and all of them read.
std::optional<std::string> ca_certificates_refusal(std::string_view pem);

}  // namespace quorlin
