#include "peer/netns_guard.hpp"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <utility>

#include "common/os_error.hpp"

namespace quorlin::peer {

namespace {

std::string netns_path(std::string_view name) { return "/var/run/netns/" + std::string(name); }

bool plain_name(std::string_view name) {
    return !name.empty() && name.find('/') == std::string_view::npos && name != "." && name != "..";
}

std::expected<void, std::string> join_network(std::string_view name) {
    if (!plain_name(name)) return std::unexpected("not a namespace name: '" + std::string(name) + "'");
    const std::string path = netns_path(name);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::unexpected("open " + path + ": " + os_error_text(errno));
    const int result = ::setns(fd, CLONE_NEWNET);
    const int saved = errno;
    ::close(fd);
    if (result != 0) return std::unexpected("setns " + path + ": " + os_error_text(saved));
    return {};
}

// Covers /etc/hosts and /etc/resolv.conf with the namespace's own, in a mount
// namespace private to this thread that never propagates back to the host.
std::expected<void, std::string> mount_namespace_etc(std::string_view name) {
    if (::unshare(CLONE_NEWNS) != 0) return std::unexpected("unshare(CLONE_NEWNS): " + os_error_text(errno));
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_SLAVE, nullptr) != 0) {
        return std::unexpected("making mounts private: " + os_error_text(errno));
    }
    for (const char* file : {"hosts", "resolv.conf"}) {
        const std::string source = "/etc/netns/" + std::string(name) + "/" + file;
        const std::string target = std::string("/etc/") + file;
        struct stat st {};
        if (::stat(source.c_str(), &st) != 0) continue;
        if (::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            return std::unexpected("bind " + source + " over " + target + ": " + os_error_text(errno));
        }
    }
    return {};
}

}  // namespace

std::expected<NetnsGuard, std::string> NetnsGuard::enter(std::string_view namespace_name) {
    const int original = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (original < 0) return std::unexpected("open /proc/thread-self/ns/net: " + os_error_text(errno));
    if (auto joined = join_network(namespace_name); !joined) {
        ::close(original);
        return std::unexpected(joined.error());
    }
    return NetnsGuard(original, ::gettid());
}

NetnsGuard::NetnsGuard(NetnsGuard&& other) noexcept
    : original_fd_(std::exchange(other.original_fd_, -1)), thread_(std::exchange(other.thread_, 0)) {}

NetnsGuard::~NetnsGuard() {
    if (original_fd_ < 0) return;
    // A thread left in the peer's namespace would run every later test there
    // (and lose the namespace's loopback when the peer goes): stop hard instead.
    if (::gettid() != thread_) {
        std::fprintf(stderr, "NetnsGuard destroyed on another thread than the one that entered\n");
        std::abort();
    }
    if (::setns(original_fd_, CLONE_NEWNET) != 0) {
        std::fprintf(stderr, "NetnsGuard could not return to its namespace: %s\n", os_error_text(errno).c_str());
        std::abort();
    }
    ::close(original_fd_);
}

std::expected<void, std::string> run_in_peer_namespace(std::string_view namespace_name,
                                                       const std::function<void()>& body) {
    std::expected<void, std::string> setup;
    std::thread worker([&] {
        setup = join_network(namespace_name);
        if (setup) setup = mount_namespace_etc(namespace_name);
        if (setup) body();
        // The thread ends here, and with it its hold on both namespaces.
    });
    worker.join();
    return setup;
}

}  // namespace quorlin::peer
