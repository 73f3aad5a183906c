#include "peer/child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>
#include <utility>

#include "common/os_error.hpp"

extern char** environ;

#ifndef QUORLIN_PYTHON
#define QUORLIN_PYTHON "python3"
#endif

namespace quorlin::peer {

namespace {

constexpr auto stop_timeout = std::chrono::seconds(10);

void close_fd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

}  // namespace

std::string test_python() { return QUORLIN_PYTHON; }

// Waits for pid to exit until deadline; its wait status, or nullopt if it is
// still running then.
std::optional<int> wait_until(pid_t pid, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) return status;
        if (done < 0 && errno != EINTR) return -1;  // not our child any more
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string describe_status(int status) {
    if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
    return "wait status " + std::to_string(status);
}

// Reads from fd until a newline, end of file or the deadline; what was read.
std::string read_line(int fd, std::chrono::steady_clock::time_point deadline, bool& complete) {
    std::string line;
    complete = false;
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return line;
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
        if (ready < 0 && errno != EINTR) return line;
        if (ready <= 0) continue;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return line;
        line.append(buffer, static_cast<std::size_t>(n));
        if (const auto end = line.find('\n'); end != std::string::npos) {
            line.resize(end);
            complete = true;
            return line;
        }
    }
}

std::expected<pid_t, std::string> spawn(const std::vector<std::string>& args, int stdin_fd, int stdout_fd) {
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdin_fd >= 0) posix_spawn_file_actions_adddup2(&actions, stdin_fd, STDIN_FILENO);
    if (stdout_fd >= 0) posix_spawn_file_actions_adddup2(&actions, stdout_fd, STDOUT_FILENO);
    pid_t pid = -1;
    const int error = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) return std::unexpected("could not run " + args[0] + ": " + os_error_text(error));
    return pid;
}

std::expected<ChildProcess, std::string> ChildProcess::start(const std::vector<std::string>& args,
                                                           std::chrono::milliseconds ready_within) {
    int to_child[2];
    int from_child[2];
    if (::pipe2(to_child, O_CLOEXEC) != 0) return std::unexpected("pipe: " + os_error_text(errno));
    if (::pipe2(from_child, O_CLOEXEC) != 0) {
        const int saved = errno;
        ::close(to_child[0]);
        ::close(to_child[1]);
        return std::unexpected("pipe: " + os_error_text(saved));
    }
    auto pid = spawn(args, to_child[0], from_child[1]);
    ::close(to_child[0]);
    ::close(from_child[1]);
    if (!pid) {
        ::close(to_child[1]);
        ::close(from_child[0]);
        return std::unexpected(pid.error());
    }
    bool complete = false;
    std::string line = read_line(from_child[0], std::chrono::steady_clock::now() + ready_within, complete);
    ChildProcess child(*pid, to_child[1], from_child[0], std::move(line));
    if (!complete) return std::unexpected(args[0] + " gave no ready line (output: " + child.ready_line_ + ")");
    return child;
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      stdin_fd_(std::exchange(other.stdin_fd_, -1)),
      stdout_fd_(std::exchange(other.stdout_fd_, -1)),
      ready_line_(std::move(other.ready_line_)) {}

ChildProcess::~ChildProcess() {
    close_fd(stdin_fd_);
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        if (!wait_until(pid_, std::chrono::steady_clock::now() + stop_timeout)) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    close_fd(stdout_fd_);
}

}  // namespace quorlin::peer
