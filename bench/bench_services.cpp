#include "bench_services.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "peer/child_process.hpp"
#include "peer/netns_guard.hpp"

namespace quorlin::bench {
namespace {

constexpr auto openssl_limit = std::chrono::seconds(30);
constexpr auto listen_limit = std::chrono::seconds(15);

std::expected<void, std::string> openssl(const std::vector<std::string>& args) {
    std::vector<std::string> argv{"openssl"};
    argv.insert(argv.end(), args.begin(), args.end());
    auto done = run_to_end(argv, openssl_limit);
    if (!done) return std::unexpected(done.error());
    if (!done->succeeded()) return std::unexpected("openssl " + args.front() + " failed");
    return {};
}

// A CA, and a leaf for `address` signed by it (P-256 keys, two days).
std::expected<void, std::string> make_certificates(const std::filesystem::path& folder, const std::string& address) {
    const auto file = [&](const char* name) { return (folder / name).string(); };
    auto ca = openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
                       file("ca.key"), "-out", file("ca.crt"), "-days", "2", "-subj", "/CN=quorlin-bench-ca"});
    if (!ca) return ca;
    return openssl({"req", "-x509", "-CA", file("ca.crt"), "-CAkey", file("ca.key"), "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:P-256", "-nodes", "-keyout", file("leaf.key"), "-out", file("leaf.crt"), "-days",
                    "2", "-subj", "/CN=quorlin-bench", "-addext", "subjectAltName=IP:" + address, "-addext",
                    "basicConstraints=critical,CA:FALSE"});
}

bool accepts(const std::string& address, std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &to.sin_addr);
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    ::close(fd);
    return connected;
}

// Waits (bounded) until `server` accepts connections on `port`.
std::expected<void, std::string> await_listening(ServerProcess& server, const char* name, const std::string& address,
                                                 std::uint16_t port) {
    const auto deadline = std::chrono::steady_clock::now() + listen_limit;
    while (!accepts(address, port)) {
        if (server.ended()) return std::unexpected(std::string(name) + " ended at start");
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::unexpected(std::string(name) + " did not listen within 15 s");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return {};
}

}  // namespace

std::expected<BenchServices, std::string> BenchServices::start(const peer::PeerInfo& info) {
    auto folder = ScratchFolder::create();
    if (!folder) return std::unexpected(folder.error());
    const std::filesystem::path where = folder->path();
    if (auto made = make_certificates(where, info.peer_tunnel_ip); !made) return std::unexpected(made.error());
    std::ostringstream pem;
    pem << std::ifstream(where / "ca.crt").rdbuf();
    std::filesystem::create_directory(where / "www");
    std::ofstream(where / "www" / "index.html") << "<html><body>quorlin bench</body></html>\n";

    BenchServices services(std::move(*folder), info.peer_tunnel_ip, pem.str());
    std::string failure;
    // Started from a thread inside the namespace, the servers live there.
    auto entered = peer::run_in_peer_namespace(info.namespace_name, [&] {
        const std::string& address = services.address_;
        auto http = ServerProcess::start({peer::test_python(), "-m", "http.server", "--bind", address, "--directory",
                                          (where / "www").string(), std::to_string(services.http_port_)});
        if (!http) {
            failure = http.error();
            return;
        }
        services.http_.emplace(std::move(*http));
        auto tls = ServerProcess::start({"openssl", "s_server", "-cert", (where / "leaf.crt").string(), "-key",
                                         (where / "leaf.key").string(), "-accept",
                                         address + ":" + std::to_string(services.tls_port_), "-www", "-quiet"});
        if (!tls) {
            failure = tls.error();
            return;
        }
        services.tls_.emplace(std::move(*tls));
        auto listening = await_listening(*services.http_, "http.server", address, services.http_port_);
        if (listening) listening = await_listening(*services.tls_, "openssl s_server", address, services.tls_port_);
        if (!listening) failure = listening.error();
    });
    if (!entered) return std::unexpected("could not enter the peer's namespace: " + entered.error());
    if (!failure.empty()) return std::unexpected(failure);
    return services;
}

}  // namespace quorlin::bench
