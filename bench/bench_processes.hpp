#pragma once
// Programs a benchmark runs beside itself: servers that live until their
// owner goes, one-shot commands whose output and CPU time are read, and a
// scratch folder. Every wait is bounded; a child is ended (SIGTERM, then
// SIGKILL) and reaped on every path. A child started from a thread inside
// the peer's namespace lives in that namespace.

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <expected>
#include <filesystem>
#include <string>
#include <vector>

namespace quorlin::bench {

// A private folder under the system's temporary one, removed with its
// contents when the object goes.
class ScratchFolder {
public:
    static std::expected<ScratchFolder, std::string> create();
    ScratchFolder(ScratchFolder&& other) noexcept;
    ScratchFolder& operator=(ScratchFolder&&) = delete;
    ~ScratchFolder();

    const std::filesystem::path& path() const { return path_; }

private:
    explicit ScratchFolder(std::filesystem::path path) : path_(std::move(path)) {}
    std::filesystem::path path_;
};

// A server started with its output on /dev/null, under a shell that ends it
// when our end of its input pipe closes: when the object goes, and when this
// process dies in any way. The shell exits when the server does.
class ServerProcess {
public:
    static std::expected<ServerProcess, std::string> start(const std::vector<std::string>& args);
    ServerProcess(ServerProcess&& other) noexcept;
    ServerProcess& operator=(ServerProcess&&) = delete;
    ~ServerProcess();

    // Whether it has ended already (reaped then).
    bool ended();

private:
    ServerProcess(pid_t pid, int owner_fd) : pid_(pid), owner_fd_(owner_fd) {}
    pid_t pid_ = -1;     // the shell
    int owner_fd_ = -1;  // our end of its input
};

// A command that ran to its end: its wait status, what it wrote to its
// standard output, and its own resource use (CPU time, peak RSS).
struct Finished {
    int status = 0;
    std::string output;
    rusage usage{};

    bool succeeded() const;
    double cpu_seconds() const;   // user + system
    double user_seconds() const;
};

// Runs `args` (looked up on PATH) with /dev/null as its input and error
// output; ended and refused when it outlives `limit`.
std::expected<Finished, std::string> run_to_end(const std::vector<std::string>& args, std::chrono::milliseconds limit);

}  // namespace quorlin::bench
