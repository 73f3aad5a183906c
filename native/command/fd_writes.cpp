#include "command/fd_writes.hpp"

#include "command/terminal_text.hpp"
#include "common/os_error.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace quorlin::command {

namespace {

// How long a non-blocking descriptor may stay full before the write gives up.
constexpr int stalled_output_limit_ms = 10'000;

}  // namespace

std::expected<void, int> write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written >= 0) {
            text.remove_prefix(static_cast<std::size_t>(written));
            continue;
        }
        const int error = errno;
        if (error == EINTR) continue;
        if (error != EAGAIN && error != EWOULDBLOCK) return std::unexpected(error);
        pollfd ready{fd, POLLOUT, 0};
        const int polled = ::poll(&ready, 1, stalled_output_limit_ms);
        if (polled == 0) return std::unexpected(ETIMEDOUT);
        if (polled < 0 && errno != EINTR) return std::unexpected(errno);
    }
    return {};
}

void print_error(std::string_view message) {
    std::string line = "quorlin: ";
    append_shown(line, message);
    line.push_back('\n');
    (void)write_all(STDERR_FILENO, line);
}

bool print_output(std::string_view text) {
    if (auto written = write_all(STDOUT_FILENO, text); !written) {
        print_error("could not write the output: " + os_error_text(written.error()));
        return false;
    }
    return true;
}

}  // namespace quorlin::command
