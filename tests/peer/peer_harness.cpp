#include "peer/peer_harness.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sodium.h>
#include <sys/wait.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "common/os_error.hpp"
#include "peer/child_process.hpp"
#include "peer/json_line.hpp"

namespace quorlin::peer {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr auto teardown_timeout = std::chrono::seconds(30);

// The supervisor script, fixed when the tests are configured.
#ifndef QUORLIN_PEER_SCRIPT
#error "QUORLIN_PEER_SCRIPT must name tests/peer/wgpeer.py"
#endif

void close_fd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

std::vector<std::string> script_command(std::string_view command) {
    return {test_python(), QUORLIN_PEER_SCRIPT, std::string(command)};
}

// Ends a peer by name from a fresh process, when its supervisor could not.
std::string stop_by_name(const std::string& namespace_name) {
    auto args = script_command("stop");
    args.push_back(namespace_name);
    int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    auto pid = spawn(args, null_fd, null_fd);
    close_fd(null_fd);
    if (!pid) return pid.error();
    const auto status = wait_until(*pid, SteadyClock::now() + teardown_timeout);
    if (!status) {
        ::kill(*pid, SIGKILL);
        ::waitpid(*pid, nullptr, 0);
        return "'wgpeer.py stop' did not finish in time";
    }
    if (*status != 0) return "'wgpeer.py stop' ended with " + describe_status(*status);
    return "";
}

const JsonValue* member(const JsonValue& object, std::string_view key, JsonValue::Kind kind, std::string& error) {
    const JsonValue* value = object.find(key);
    if (value == nullptr || value->kind != kind) {
        if (error.empty()) error = "peer description lacks '" + std::string(key) + "'";
        return nullptr;
    }
    return value;
}

std::string string_member(const JsonValue& object, std::string_view key, std::string& error) {
    const JsonValue* value = member(object, key, JsonValue::Kind::string, error);
    return value ? value->text : std::string();
}

std::optional<std::string> optional_string_member(const JsonValue& object, std::string_view key) {
    const JsonValue* value = object.find(key);
    if (value == nullptr || value->kind != JsonValue::Kind::string) return std::nullopt;
    return value->text;
}

}  // namespace

std::optional<std::string> peer_unavailable_reason() {
    if (::geteuid() != 0) {
        return "the real WireGuard peer needs root (network namespaces and a TUN device); "
               "run the tests as root to include it";
    }
    return std::nullopt;
}

std::expected<PeerInfo, std::string> parse_peer_info(std::string_view json_line) {
    auto parsed = parse_json(json_line);
    if (!parsed) return std::unexpected(parsed.error() + " in: " + std::string(json_line));
    const JsonValue& root = *parsed;
    if (root.kind != JsonValue::Kind::object) return std::unexpected("peer description is not a JSON object");
    if (const JsonValue* error = root.find("error")) {
        return std::unexpected("the peer did not start: " + error->text);
    }
    std::string error;
    PeerInfo info;
    info.namespace_name = string_member(root, "namespace", error);
    info.interface_name = string_member(root, "interface", error);
    if (const JsonValue* port = member(root, "listen_port", JsonValue::Kind::number, error)) {
        const auto& t = port->text;
        if (std::from_chars(t.data(), t.data() + t.size(), info.listen_port).ec != std::errc{}) {
            error = "bad listen_port " + t;
        }
    }
    info.endpoint_ipv4 = string_member(root, "endpoint_ipv4", error);
    info.endpoint_ipv6 = optional_string_member(root, "endpoint_ipv6");
    info.host_name = string_member(root, "host_name", error);
    info.endpoint_host = string_member(root, "endpoint_host", error);
    info.peer_public_key = string_member(root, "peer_public_key", error);
    info.client_private_key = string_member(root, "client_private_key", error);
    info.client_public_key = string_member(root, "client_public_key", error);
    info.preshared_key = optional_string_member(root, "preshared_key");
    info.tunnel_address = string_member(root, "tunnel_address", error);
    info.peer_tunnel_ip = string_member(root, "peer_tunnel_ip", error);
    info.client_address = string_member(root, "client_address", error);
    info.client_tunnel_ip = string_member(root, "client_tunnel_ip", error);
    info.dns_address = optional_string_member(root, "dns_address");
    info.log_dir = string_member(root, "log_dir", error);
    if (!error.empty()) return std::unexpected(error);
    return info;
}

std::optional<std::array<std::uint8_t, 32>> decode_key(std::string_view base64) {
    std::array<std::uint8_t, 32> key{};
    std::size_t length = 0;
    const char* end = nullptr;
    if (base64.size() != 44 ||
        sodium_base642bin(key.data(), key.size(), base64.data(), base64.size(), nullptr, &length, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        length != key.size() || end != base64.data() + base64.size()) {
        return std::nullopt;
    }
    return key;
}

std::expected<RealPeer, std::string> RealPeer::start(const PeerOptions& options, std::chrono::milliseconds timeout) {
    if (auto reason = peer_unavailable_reason()) return std::unexpected(*reason);
    auto args = script_command("serve");
    if (options.preshared_key) args.push_back("--preshared-key");
    if (!options.dns) args.push_back("--no-dns");
    if (!options.records.empty()) {
        args.push_back("--records");
        for (const auto& [name, address] : options.records) args.push_back(name + "=" + address);
    }

    // Close-on-exec everywhere: a second peer's supervisor must not inherit the
    // first one's stdin, or closing it would no longer end the first peer.
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
    int stdin_fd = to_child[1];
    int stdout_fd = from_child[0];
    if (!pid) {
        close_fd(stdin_fd);
        close_fd(stdout_fd);
        return std::unexpected(pid.error());
    }

    bool complete = false;
    const std::string line = read_line(stdout_fd, SteadyClock::now() + timeout, complete);
    std::expected<PeerInfo, std::string> info = std::unexpected(std::string());
    if (complete) info = parse_peer_info(line);
    if (info) return RealPeer(*pid, stdin_fd, stdout_fd, std::move(*info));

    // It failed: the supervisor tears down what it built once its stdin closes.
    close_fd(stdin_fd);
    std::string reason = complete ? info.error()
                                  : "the peer gave no description within " + std::to_string(timeout.count()) +
                                        " ms" + (line.empty() ? "" : " (partial output: " + line + ")");
    auto status = wait_until(*pid, SteadyClock::now() + teardown_timeout);
    if (!status) {
        ::kill(*pid, SIGKILL);
        ::waitpid(*pid, nullptr, 0);
        reason += "; its supervisor did not exit";
    }
    close_fd(stdout_fd);
    return std::unexpected(reason);
}

RealPeer::RealPeer(RealPeer&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      stdin_fd_(std::exchange(other.stdin_fd_, -1)),
      stdout_fd_(std::exchange(other.stdout_fd_, -1)),
      info_(std::move(other.info_)) {}

RealPeer::~RealPeer() {
    if (auto stopped = stop(); !stopped) {
        std::fprintf(stderr, "real peer %s: teardown failed: %s\n", info_.namespace_name.c_str(),
                     stopped.error().c_str());
    }
}

std::expected<void, std::string> RealPeer::stop() {
    if (pid_ < 0) return {};
    const pid_t pid = std::exchange(pid_, -1);
    close_fd(stdin_fd_);
    std::string error;
    if (auto status = wait_until(pid, SteadyClock::now() + teardown_timeout)) {
        if (*status != 0) {
            // The supervisor prints its teardown failure as a JSON line.
            bool complete = false;
            const std::string line = read_line(stdout_fd_, SteadyClock::now() + std::chrono::seconds(1), complete);
            error = "peer supervisor ended with " + describe_status(*status) + (line.empty() ? "" : ": " + line);
        }
    } else {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        error = "peer supervisor did not finish its teardown in time";
        if (auto left = stop_by_name(info_.namespace_name); !left.empty()) error += "; " + left;
    }
    close_fd(stdout_fd_);
    if (!error.empty()) return std::unexpected(error);
    return {};
}

std::string RealPeer::log_tail(std::string_view program, std::size_t max_bytes) const {
    std::ifstream file(info_.log_dir + "/" + std::string(program) + ".log", std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    std::string all = text.str();
    return all.size() > max_bytes ? all.substr(all.size() - max_bytes) : all;
}

}  // namespace quorlin::peer
