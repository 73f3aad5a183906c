#pragma once
// The HTTP side, on civetweb: a fixed pool of worker threads, requests read
// within a time limit and a size limit (a slow or half-sent request cannot
// hold a worker past the read timeout), no keep-alive (an idle connection
// would hold a worker), no files served. Every request goes to the handler;
// what civetweb refuses itself (a malformed, oversized or too slow request)
// is logged as a refused request.

#include "common/clock.hpp"
#include "exporter/handler.hpp"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <expected>
#include <memory>
#include <mutex>
#include <string>

struct mg_context;
struct mg_connection;

namespace quorlin::exporter {

struct ServerSettings {
    std::string listen;  // "IPV4:PORT"; port 0 picks a free one
    std::size_t worker_threads = 68;
    std::chrono::milliseconds read_timeout{5000};
    std::size_t max_request_bytes = 8192;
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
    // Stops accepting, then waits for the requests being served.
    ~HttpServer();

    // The address it listens on, with the port it got: "127.0.0.1:9723".
    const std::string& address() const noexcept { return address_; }

    // True once no request is being handled or answered, false when `until`
    // came first. Once stopping, civetweb sends nothing more, so whatever is
    // to be answered must be answered before.
    bool wait_until_idle(Instant until);

private:
    HttpServer(const RequestHandler& handler, const LogSink& log) : handler_(handler), log_(log) {}

    static int begin_request(mg_connection* connection);
    static int http_error(mg_connection* connection, int status, const char* message);
    static int log_message(const mg_connection* connection, const char* message);

    void request_began();
    void request_ended();

    const RequestHandler& handler_;
    const LogSink& log_;
    mg_context* context_ = nullptr;
    std::mutex mutex_;
    std::condition_variable idle_;
    std::size_t active_requests_ = 0;
    std::string address_;
};

}  // namespace quorlin::exporter
