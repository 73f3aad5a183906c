#include "bench_processes.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <thread>
#include <utility>

#include "common/os_error.hpp"

extern char** environ;

namespace quorlin::bench {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto stop_timeout = std::chrono::seconds(10);

// Runs "$@" and waits for it; when its input reaches its end, ends it.
constexpr const char* server_watch_script = R"(exec 3<&0
"$@" 3<&- &
server=$!
{ read -r _ <&3; kill "$server"; } &
watcher=$!
wait "$server"
status=$?
kill "$watcher"
exit "$status")";

// Starts `args` with `stdin_fd` (or /dev/null) as stdin, `stdout_fd` (or
// /dev/null) as stdout, and /dev/null as stderr.
std::expected<pid_t, std::string> spawn_quiet(const std::vector<std::string>& args, int stdin_fd, int stdout_fd) {
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdin_fd >= 0) posix_spawn_file_actions_adddup2(&actions, stdin_fd, STDIN_FILENO);
    else posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (stdout_fd >= 0) posix_spawn_file_actions_adddup2(&actions, stdout_fd, STDOUT_FILENO);
    else posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int error = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) return std::unexpected("could not run " + args[0] + ": " + os_error_text(error));
    return pid;
}

// Reaps `pid` once it exits, until `deadline`; its status and resource use.
std::optional<std::pair<int, rusage>> reap_until(pid_t pid, Clock::time_point deadline) {
    for (;;) {
        int status = 0;
        rusage usage{};
        const pid_t done = ::wait4(pid, &status, WNOHANG, &usage);
        if (done == pid) return std::pair{status, usage};
        if (done < 0 && errno != EINTR) return std::pair{-1, rusage{}};  // not our child any more
        if (Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void end_child(pid_t pid) {
    ::kill(pid, SIGTERM);
    if (!reap_until(pid, Clock::now() + stop_timeout)) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
}

}  // namespace

std::expected<ScratchFolder, std::string> ScratchFolder::create() {
    std::error_code error;
    const auto base = std::filesystem::temp_directory_path(error);
    if (error) return std::unexpected("no temporary folder: " + error.message());
    std::string pattern = (base / "quorlin-bench.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return std::unexpected("mkdtemp: " + os_error_text(errno));
    return ScratchFolder(pattern);
}

ScratchFolder::ScratchFolder(ScratchFolder&& other) noexcept : path_(std::exchange(other.path_, {})) {}

ScratchFolder::~ScratchFolder() {
    if (path_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::expected<ServerProcess, std::string> ServerProcess::start(const std::vector<std::string>& args) {
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return std::unexpected("pipe: " + os_error_text(errno));
    std::vector<std::string> argv{"sh", "-c", server_watch_script, "sh"};
    argv.insert(argv.end(), args.begin(), args.end());
    auto pid = spawn_quiet(argv, pipe_fds[0], -1);
    ::close(pipe_fds[0]);
    if (!pid) {
        ::close(pipe_fds[1]);
        return std::unexpected(pid.error());
    }
    return ServerProcess(*pid, pipe_fds[1]);
}

ServerProcess::ServerProcess(ServerProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), owner_fd_(std::exchange(other.owner_fd_, -1)) {}

ServerProcess::~ServerProcess() {
    if (owner_fd_ >= 0) ::close(owner_fd_);  // the shell ends the server
    if (pid_ > 0 && !reap_until(pid_, Clock::now() + stop_timeout)) end_child(pid_);
}

bool ServerProcess::ended() {
    if (pid_ <= 0) return true;
    if (reap_until(pid_, Clock::now())) {
        pid_ = -1;
        return true;
    }
    return false;
}

bool Finished::succeeded() const { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

double Finished::user_seconds() const {
    return static_cast<double>(usage.ru_utime.tv_sec) + static_cast<double>(usage.ru_utime.tv_usec) * 1e-6;
}

double Finished::cpu_seconds() const {
    return user_seconds() + static_cast<double>(usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_stime.tv_usec) * 1e-6;
}

std::expected<Finished, std::string> run_to_end(const std::vector<std::string>& args, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return std::unexpected("pipe: " + os_error_text(errno));
    auto pid = spawn_quiet(args, -1, pipe_fds[1]);
    ::close(pipe_fds[1]);
    if (!pid) {
        ::close(pipe_fds[0]);
        return std::unexpected(pid.error());
    }
    Finished finished;
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        pollfd p{pipe_fds[0], POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000)));
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        const ssize_t n = ::read(pipe_fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        finished.output.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipe_fds[0]);
    auto reaped = reap_until(*pid, deadline);
    if (!reaped) {
        end_child(*pid);
        return std::unexpected(args[0] + " did not finish within " + std::to_string(limit.count()) + " ms");
    }
    finished.status = reaped->first;
    finished.usage = reaped->second;
    return finished;
}

}  // namespace quorlin::bench
