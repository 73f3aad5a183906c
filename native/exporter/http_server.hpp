#pragma once
// The HTTP side, on libmicrohttpd: one listener thread polls every connection
// (epoll), so an idle or slow connection costs a descriptor, not a thread.
// ConnectionLimits decides which connections are kept (a request complete
// within a fixed time from connecting, a cap in all and per client address),
// and a request's head must fit a small per-connection memory pool. No
// keep-alive, no files served. Every request goes to the handler once its
// head is complete (that moment is its arrival); a probe's connection is
// suspended until a worker answers it, so the listener never waits for a
// probe. Credentials are checked off the listener too, in one line per
// client address. Over TLS, the handshake serves TlsCredentials' current
// pair and, where client certificates are asked for, checks them against
// the client CA before any request is handled.

#include "common/clock.hpp"
#include "exporter/connection_limits.hpp"
#include "exporter/handler.hpp"
#include "exporter/tls_credentials.hpp"
#include "exporter/worker_pool.hpp"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <expected>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

struct MHD_Daemon;
struct MHD_Connection;

namespace quorlin::exporter {

// Connections the HTTP server takes beyond the cap, so that a new one can
// be taken while the one closed to make room for it is still closing.
inline constexpr std::size_t connection_headroom = 64;

struct ServerSettings {
    std::string listen;  // "IPV4:PORT" or "[IPV6]:PORT"; port 0 picks a free one
    // From connecting to a complete request head; also the longest silence
    // while a request is read or its answer sent.
    std::chrono::seconds request_timeout{5};
    std::size_t max_connections = 1024;
    // Connections without a complete request, per client address. A
    // scraper's connection has its request within a round trip; a Prometheus
    // scraping many targets of this exporter at once opens many together.
    std::size_t max_connections_per_client = 64;
    // Each connection's memory pool, which the request's head must fit.
    std::size_t connection_memory_bytes = 16 * 1024;
    // bcrypt checks at once, and waiting per client address: a flood from
    // one address waits in its own line, and other addresses take turns.
    std::size_t credential_checkers = 2;
    std::size_t credential_checks_per_client = 4;
    // Null: plain HTTP. Must outlive the server.
    const TlsCredentials* tls = nullptr;
};

class HttpServer {
public:
    // Listening and serving when it returns; the handler and the logs must
    // outlive the server. `refusals` takes a line per refused request (a
    // flood's worth: bound its rate), `log` the summaries of closed
    // connections. The descriptors for max_connections and
    // connection_headroom are the caller's to budget.
    static std::expected<std::unique_ptr<HttpServer>, std::string> start(const ServerSettings& settings,
                                                                          const RequestHandler& handler,
                                                                          const LogSink& log,
                                                                          const LogSink& refusals);
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;
    // Waits for the credential checks, stops listening and closes every
    // connection. Call once no answer is still to come from a probe worker
    // (WorkerPool::join).
    ~HttpServer();

    // The address it listens on, with the port it got: "127.0.0.1:9723", "[::1]:9723".
    const std::string& address() const noexcept { return address_; }

    // True once no request is being handled or answered, false when `until` came first.
    bool wait_until_idle(Instant until);

private:
    friend struct ServerCallbacks;  // libmicrohttpd's callbacks, in the source file

    HttpServer(const RequestHandler& handler, const LogSink& log, const LogSink& refusals,
               const ServerSettings& settings);

    void request_began();
    void request_ended();
    // Closes the late connections and writes the summary line, until stopped.
    void watch_connections();

    const RequestHandler& handler_;
    const LogSink& log_;
    const LogSink& refusals_;
    const TlsCredentials* tls_ = nullptr;
    MHD_Daemon* daemon_ = nullptr;
    ConnectionLimits limits_;
    std::mutex mutex_;
    std::condition_variable idle_;
    std::condition_variable stop_watch_;
    bool stopping_ = false;
    std::size_t active_requests_ = 0;
    // Credentials are checked here, off the listener: a bcrypt check takes
    // tens of milliseconds, and a wrong password is never remembered.
    WorkerPool credential_checks_;
    std::thread watcher_;
    std::string address_;
};

}  // namespace quorlin::exporter
