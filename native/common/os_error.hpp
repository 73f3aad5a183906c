#pragma once

#include <string>

namespace quorlin {

// "<description> (os error <n>)", e.g. "Connection refused (os error 111)".
std::string os_error_text(int error_number);

}  // namespace quorlin
