#pragma once

#include <string>

namespace quorlin {

// The engine's only error value: one message text, displayed as it stands.
struct ProbeError {
    std::string message;
};

}  // namespace quorlin
