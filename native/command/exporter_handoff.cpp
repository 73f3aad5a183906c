// The quorlin executable's `quorlin exporter`: the same process goes on as the
// exporter's executable (exec keeps the process id, so a service manager's
// main PID and its signals reach the exporter itself).
#include "command/exporter_command.hpp"

#include "command/fd_writes.hpp"
#include "probe/outcome.hpp"
#include "common/os_error.hpp"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <expected>
#include <string>
#include <string_view>

namespace quorlin::command {

namespace {

// Where the build and the installer both put it, from the quorlin
// executable's own folder: bin/quorlin, libexec/quorlin/quorlin-exporter.
constexpr std::string_view exporter_from_command_folder = QUORLIN_EXPORTER_RELATIVE_PATH;

// The executable's own file, not argv[0], which `python -m quorlin` and
// PATH lookups leave without a folder. The error number when unreadable.
std::expected<std::string, int> exporter_path() {
    std::array<char, PATH_MAX> own{};
    const ssize_t length = ::readlink("/proc/self/exe", own.data(), own.size());
    if (length < 0) return std::unexpected(errno);
    if (static_cast<std::size_t>(length) >= own.size()) return std::unexpected(ENAMETOOLONG);
    std::string path(own.data(), static_cast<std::size_t>(length));
    path.resize(path.rfind('/') + 1);  // the link is always an absolute path
    path += exporter_from_command_folder;
    return path;
}

}  // namespace

CommandEnd run_exporter_command(const ExporterRequest& /*request*/, const char* const* argv) {
    const std::expected<std::string, int> path = exporter_path();
    if (!path) {
        print_error("could not find the exporter: /proc/self/exe: " + os_error_text(path.error()));
        return {unknown_exit_status, false};
    }
    // The exporter reads the same command line again; the signal mask and
    // SIGPIPE's disposition carry over, and its main sets them the same way.
    ::execv(path->c_str(), const_cast<char* const*>(argv));
    print_error("could not start the exporter " + *path + ": " + os_error_text(errno));
    return {unknown_exit_status, false};
}

}  // namespace quorlin::command
