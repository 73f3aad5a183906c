#pragma once
// The HTTP side, on libmicrohttpd: one listener thread polls every connection
// (epoll), so an idle or slow connection costs a descriptor, not a thread.
// Each connection has an idle timeout, the connections are capped in all and
// per client address, and a request's head must fit a small per-connection
// memory pool. No keep-alive, no files served. Every request goes to the
// handler once its head is complete (that moment is its arrival); a probe's
// connection is suspended until a worker answers it, so the listener never
// waits for a probe. A request that never completed its head within the
// timeout is logged when its connection is closed. Over TLS, the handshake
// serves TlsCredentials' current pair and, where client certificates are
// asked for, checks them against the client CA before any request is handled.

#include "common/clock.hpp"
#include "exporter/handler.hpp"
#include "exporter/probe_workers.hpp"
#include "exporter/tls_credentials.hpp"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <expected>
#include <memory>
#include <mutex>
#include <string>

struct MHD_Daemon;
struct MHD_Connection;

namespace quorlin::exporter {

struct ServerSettings {
    std::string listen;  // "IPV4:PORT" or "[IPV6]:PORT"; port 0 picks a free one
    std::chrono::seconds idle_timeout{5};
    std::size_t max_connections = 1024;
    std::size_t max_connections_per_client = 512;
    // Each connection's memory pool, which the request's head must fit.
    std::size_t connection_memory_bytes = 16 * 1024;
    // Descriptors the rest of the process may need beside the connections
    // (probes, files, the standard streams): the connection cap is lowered
    // to keep them free under the open-file limit.
    std::size_t reserved_descriptors = 64;
    // Null: plain HTTP. Must outlive the server.
    const TlsCredentials* tls = nullptr;
};

class HttpServer {
public:
    // Listening and serving when it returns; the handler and the log must
    // outlive the server.
    static std::expected<std::unique_ptr<HttpServer>, std::string> start(const ServerSettings& settings,
                                                                          const RequestHandler& handler,
                                                                          const LogSink& log);
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;
    // Waits for the credential checks, stops listening and closes every
    // connection. Call once no answer is still to come from a probe worker
    // (ProbeWorkers::join).
    ~HttpServer();

    // The address it listens on, with the port it got: "127.0.0.1:9723", "[::1]:9723".
    const std::string& address() const noexcept { return address_; }

    // True once no request is being handled or answered, false when `until` came first.
    bool wait_until_idle(Instant until);

private:
    friend struct ServerCallbacks;  // libmicrohttpd's callbacks, in the source file

    HttpServer(const RequestHandler& handler, const LogSink& log) : handler_(handler), log_(log) {}

    void request_began();
    void request_ended();

    const RequestHandler& handler_;
    const LogSink& log_;
    const TlsCredentials* tls_ = nullptr;
    MHD_Daemon* daemon_ = nullptr;
    std::chrono::seconds idle_timeout_{};
    std::mutex mutex_;
    std::condition_variable idle_;
    std::size_t active_requests_ = 0;
    // Credentials are checked here, off the listener: a bcrypt check takes
    // tens of milliseconds, and a wrong password is never remembered.
    std::unique_ptr<ProbeWorkers> credential_checks_;
    std::string address_;
};

}  // namespace quorlin::exporter
