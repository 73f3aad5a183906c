#pragma once
// Puts test code inside a peer's network namespace, so that a plain UDP
// socket reaches the peer over the namespace's loopback.

#include <sys/types.h>

#include <expected>
#include <functional>
#include <string>
#include <string_view>

namespace quorlin::peer {

// Moves the CURRENT THREAD into the named network namespace (setns on
// /var/run/netns/NAME) and back to where it was when destroyed. Threads started
// meanwhile inherit the namespace. Only network state changes: /etc/hosts is
// still the host's (use run_in_peer_namespace for host-name lookups).
class NetnsGuard {
public:
    static std::expected<NetnsGuard, std::string> enter(std::string_view namespace_name);

    NetnsGuard(NetnsGuard&& other) noexcept;
    NetnsGuard& operator=(NetnsGuard&&) = delete;
    NetnsGuard(const NetnsGuard&) = delete;
    ~NetnsGuard();

private:
    NetnsGuard(int original_fd, pid_t thread) : original_fd_(original_fd), thread_(thread) {}

    int original_fd_ = -1;
    pid_t thread_ = 0;  // the thread that entered; only it can go back
};

// Runs body on a fresh thread that lives in the namespace the way
// `ip netns exec` sets it up: its network namespace, plus a private mount
// namespace where /etc/netns/NAME/hosts and resolv.conf cover /etc's, so host
// names resolve from the peer's hosts file and nothing leaves the machine.
// Waits for body to return (body bounds its own waits). Fails without running
// body when the namespace cannot be entered.
std::expected<void, std::string> run_in_peer_namespace(std::string_view namespace_name,
                                                       const std::function<void()>& body);

}  // namespace quorlin::peer
