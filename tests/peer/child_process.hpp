#pragma once
// Programs a test runs beside the peer: the peer's supervisor, a server in
// its namespace, the relay. Every wait is bounded.

#include <sys/types.h>

#include <chrono>
#include <expected>
#include <optional>
#include <string>
#include <vector>

namespace quorlin::peer {

// The interpreter the peer scripts run with, fixed when the tests are configured.
std::string test_python();

// Starts `args` (looked up on PATH) with the given descriptors as its stdin
// and stdout (-1: inherited).
std::expected<pid_t, std::string> spawn(const std::vector<std::string>& args, int stdin_fd, int stdout_fd);
// Waits for `pid` to exit until `deadline`; its wait status, or nullopt if
// it is still running then.
std::optional<int> wait_until(pid_t pid, std::chrono::steady_clock::time_point deadline);
std::string describe_status(int status);
// Reads from `fd` until a newline, end of file or the deadline; what was read.
std::string read_line(int fd, std::chrono::steady_clock::time_point deadline, bool& complete);

// A helper program that says it is ready by printing one line. It reads our
// pipe as its stdin, so it sees the end of its input whenever we go; when the
// object goes it is ended (SIGTERM, then SIGKILL) and reaped.
class ChildProcess {
public:
    static std::expected<ChildProcess, std::string> start(const std::vector<std::string>& args,
                                                          std::chrono::milliseconds ready_within);
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&&) = delete;
    ~ChildProcess();

    const std::string& ready_line() const { return ready_line_; }

private:
    ChildProcess(pid_t pid, int stdin_fd, int stdout_fd, std::string line)
        : pid_(pid), stdin_fd_(stdin_fd), stdout_fd_(stdout_fd), ready_line_(std::move(line)) {}

    pid_t pid_ = -1;
    int stdin_fd_ = -1;
    int stdout_fd_ = -1;
    std::string ready_line_;
};

}  // namespace quorlin::peer
