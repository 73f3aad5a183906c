#pragma once
// The files a fleet names may be symbolic links, as mounted secrets are: each
// path is resolved through its links once each time the file is read, then
// read with the careful reader (which refuses links, so the resolved path is
// what it opens). Messages name the file by the path as given.

#include <expected>
#include <string>
#include <string_view>

namespace quorlin::fleet {

// `path` with its links resolved. A link that leads nowhere (a missing
// target, a loop) is refused by name, the file named by its `kind`
// ("configuration", "private key", "fleet"); any other failure gives `path`
// unchanged, for the careful reader to report in its own words.
std::expected<std::string, std::string> followed_path(const std::string& path, std::string_view kind);

}  // namespace quorlin::fleet
