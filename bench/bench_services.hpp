#pragma once
// The services the service-check figures reach through the tunnel, on the
// peer's tunnel address in its namespace: Python's http.server (for the tcp
// and http checks) and `openssl s_server -www` (tls and https) with a
// certificate for that address, signed by a CA made by openssl at start.
// The servers are ended and the files removed when the object goes.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>

#include "bench_processes.hpp"
#include "peer/peer_harness.hpp"

namespace quorlin::bench {

class BenchServices {
public:
    static std::expected<BenchServices, std::string> start(const peer::PeerInfo& info);

    const std::string& address() const { return address_; }  // the peer's tunnel address
    std::uint16_t http_port() const { return http_port_; }
    std::uint16_t tls_port() const { return tls_port_; }
    const std::string& ca_pem() const { return ca_pem_; }
    std::filesystem::path ca_file() const { return folder_.path() / "ca.crt"; }
    const std::filesystem::path& folder() const { return folder_.path(); }

private:
    BenchServices(ScratchFolder folder, std::string address, std::string ca_pem)
        : folder_(std::move(folder)), address_(std::move(address)), ca_pem_(std::move(ca_pem)) {}

    // First, so that it goes last: the servers end before their files do.
    ScratchFolder folder_;
    std::string address_;
    std::string ca_pem_;
    std::uint16_t http_port_ = 8080;
    std::uint16_t tls_port_ = 8443;
    std::optional<ServerProcess> http_;
    std::optional<ServerProcess> tls_;
};

}  // namespace quorlin::bench
