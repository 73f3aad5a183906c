#include "exporter/http_server.hpp"

#include "common/os_error.hpp"
#include "common/secret.hpp"
#include "exporter/client_address.hpp"
#include "exporter/listener.hpp"
#include "exporter/request.hpp"
#include "exporter/tls_hooks.hpp"
#include "probe/socket_address_literal.hpp"

#include <fcntl.h>
#include <microhttpd.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace quorlin::exporter {

namespace {

// An Authorization header longer than this is not checked: it fails.
constexpr std::size_t longest_authorization = 1024;
constexpr std::string_view timeout_header = "X-Prometheus-Scrape-Timeout-Seconds";
// The watch looks again at least this often, for summaries counted meanwhile.
constexpr std::chrono::seconds longest_watch_sleep{1};

MHD_Response* response_of(const HttpResponse& answer, const std::vector<ResponseHeader>& added) {
    // MHD_RESPMEM_MUST_COPY: the body belongs to the caller.
    MHD_Response* response = MHD_create_response_from_buffer(answer.body.size(), const_cast<char*>(answer.body.data()),
                                                              MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return nullptr;
    const std::string content_type(answer.content_type);
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, content_type.c_str());
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    if (const std::size_t colon = answer.extra_header.find(':'); colon != std::string_view::npos) {
        const std::string name(answer.extra_header.substr(0, colon));
        std::string_view value = answer.extra_header.substr(colon + 1);
        while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
        MHD_add_response_header(response, name.c_str(), std::string(value).c_str());
    }
    for (const ResponseHeader& header : added) MHD_add_response_header(response, header.name.c_str(), header.value.c_str());
    return response;
}

MHD_Result queue(MHD_Connection* connection, const HttpResponse& answer, const std::vector<ResponseHeader>& added) {
    MHD_Response* response = response_of(answer, added);
    if (response == nullptr) return MHD_NO;  // closes the connection
    const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(answer.status), response);
    MHD_destroy_response(response);
    return queued;
}

// What the server keeps for one connection, from its start to its close.
struct ConnectionContext {
    HttpServer* server = nullptr;
    ConnectionLimits::Connection* kept = nullptr;
};

ConnectionContext* context_of(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info != nullptr ? static_cast<ConnectionContext*>(info->socket_context) : nullptr;
}

// One request on its connection, from its request line to its end. Shared
// with the answer of a probe, which may come from a worker thread before or
// after the listener has suspended the connection.
struct Exchange {
    MHD_Connection* connection = nullptr;
    std::string uri;  // the request target as sent, query included
    bool handled = false;  // the head was complete and the handler has it

    std::mutex mutex;
    std::optional<HttpResponse> response;
    bool suspended = false;

    // Keeps the response for the listener, waking it where it is suspended.
    void answer(HttpResponse answered) {
        const std::lock_guard lock(mutex);
        response = std::move(answered);
        if (suspended) {
            suspended = false;
            MHD_resume_connection(connection);
        }
    }
};

// An Authorization header on its way to a credential check, wiped after.
struct Credentials {
    SecretArray<longest_authorization + 1> text;  // NUL-terminated; empty when too long
    bool present = false;

    explicit Credentials(const char* header) {
        if (header == nullptr) return;
        present = true;
        const std::size_t length = std::strlen(header);
        if (length <= longest_authorization) std::memcpy(text.data(), header, length);
    }
    const char* value() const { return present ? reinterpret_cast<const char*>(text.data()) : nullptr; }
};

}  // namespace

struct ServerCallbacks {
    using Held = std::shared_ptr<Exchange>;

    // A new connection is counted (and may be closed at once); over TLS, its
    // handshake is told what to ask of the client. A closed one is forgotten.
    static void connection_event(void* cls, MHD_Connection* connection, void** socket_context,
                                 MHD_ConnectionNotificationCode event) {
        auto* server = static_cast<HttpServer*>(cls);
        if (event == MHD_CONNECTION_NOTIFY_CLOSED) {
            auto* context = static_cast<ConnectionContext*>(*socket_context);
            *socket_context = nullptr;
            if (context != nullptr) server->limits_.closed(context->kept);
            delete context;
            return;
        }
        const MHD_ConnectionInfo* fd = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        const MHD_ConnectionInfo* from = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        if (fd == nullptr) return;
        auto* context = new ConnectionContext{server, nullptr};
        context->kept = server->limits_.opened(fd->connect_fd, client_address(from ? from->client_addr : nullptr),
                                               Clock::now());
        *socket_context = context;
        if (server->tls_ != nullptr) start_tls_connection(server->tls_->settings().client_auth, connection);
    }

    static const TlsCredentials* credentials_of(MHD_Connection* connection) {
        const ConnectionContext* context = context_of(connection);
        return context != nullptr ? context->server->tls_ : nullptr;
    }

    // The request line has arrived: what the connection's request state starts as.
    static void* request_line(void* /*server*/, const char* uri, MHD_Connection* connection) {
        auto exchange = std::make_shared<Exchange>();
        exchange->connection = connection;
        exchange->uri = uri != nullptr ? uri : "";
        return new Held(std::move(exchange));
    }

    static MHD_Result request(void* cls, MHD_Connection* connection, const char* /*url*/, const char* method,
                              const char* /*version*/, const char* /*upload_data*/, std::size_t* upload_data_size,
                              void** state) {
        auto* server = static_cast<HttpServer*>(cls);
        if (*state == nullptr) *state = request_line(cls, "", connection);
        const Held exchange = *static_cast<Held*>(*state);
        if (!exchange->handled) {
            exchange->handled = true;
            begin(*server, exchange, method);
        }
        if (*upload_data_size != 0) {
            *upload_data_size = 0;  // a body is never read: the endpoints take none
            return MHD_YES;
        }
        std::unique_lock lock(exchange->mutex);
        if (exchange->response) {
            const HttpResponse answer = std::move(*exchange->response);
            exchange->response.reset();
            lock.unlock();
            return queue(connection, answer, server->handler_.added_headers());
        }
        if (!exchange->suspended) {
            exchange->suspended = true;
            MHD_suspend_connection(connection);
        }
        return MHD_YES;
    }

    // The request as the handler takes it, from the head just completed.
    static HttpRequest read_request(const Exchange& exchange, const char* method, const ClientAddress& client) {
        HttpRequest request;
        request.method = method != nullptr ? method : "";
        RequestTarget target = split_target(exchange.uri);
        request.path = std::move(target.path);
        request.query = std::move(target.query);
        const std::string timeout_name(timeout_header);
        if (const char* timeout =
                MHD_lookup_connection_value(exchange.connection, MHD_HEADER_KIND, timeout_name.c_str())) {
            request.scrape_timeout = timeout;
        }
        request.client = client.text;
        return request;
    }

    // The head is complete: the handler answers at once or, for a probe, later.
    static void begin(HttpServer& server, const Held& exchange, const char* method) {
        const Instant arrival = Clock::now();
        server.request_began();
        MHD_Connection* connection = exchange->connection;
        ConnectionContext* context = context_of(connection);
        static const ClientAddress unknown{"?", "?"};
        if (context != nullptr) server.limits_.request_complete(context->kept);
        const ClientAddress& client = context != nullptr ? context->kept->client : unknown;
        HttpRequest request = read_request(*exchange, method, client);
        if (server.tls_ != nullptr && !client_certificate_passes(*server.tls_, connection)) {
            server.refusals_("refused " + request.method + " " + request.path + " from " + request.client +
                        ": 403 no valid client certificate");
            exchange->answer({403, "text/plain; charset=utf-8", "a valid client certificate is required\n", {}});
            return;
        }
        Answer answer = [exchange](HttpResponse response) { exchange->answer(std::move(response)); };
        const char* authorization =
            MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION);
        if (const std::optional<bool> at_once = server.handler_.authorized_at_once(request.path, authorization)) {
            request.authorized = *at_once;
            server.handler_.handle(std::move(request), arrival, answer);
            return;
        }
        check_then_handle(server, std::move(request), client.key, arrival, std::make_shared<const Credentials>(authorization),
                          answer);
    }

    // A bcrypt check in the client's own line, then the handler.
    static void check_then_handle(HttpServer& server, HttpRequest request, const std::string& client_key,
                                  Instant arrival, std::shared_ptr<const Credentials> credentials, const Answer& answer) {
        const std::string client = request.client;
        const auto refuse = [&server, answer, client](std::string_view why) {
            server.refusals_("refused a request from " + client + ": 503 " + std::string(why));
            answer({503, "text/plain; charset=utf-8", "too many requests at once\n", {}});
        };
        const bool taken = server.credential_checks_.submit_as(
            client_key, arrival + server.limits_.request_timeout(),
            [&server, request = std::move(request), arrival, answer, credentials]() mutable {
                request.authorized = server.handler_.authorized(request.path, credentials->value());
                server.handler_.handle(std::move(request), arrival, answer);
            },
            [refuse](bool) { refuse("too many credentials to check at once"); });
        if (!taken) refuse("too many credentials to check from this address");
    }

    static void completed(void* cls, MHD_Connection* connection, void** state, MHD_RequestTerminationCode why) {
        auto* server = static_cast<HttpServer*>(cls);
        if (*state == nullptr) return;
        auto* held = static_cast<Held*>(*state);
        *state = nullptr;
        if ((*held)->handled) {
            server->request_ended();
        } else if (const ConnectionContext* context = context_of(connection)) {
            if (why == MHD_REQUEST_TERMINATED_TIMEOUT_REACHED) {
                server->limits_.closed_by_server(context->kept, ClosedFor::late_request, Clock::now());
            } else if (why == MHD_REQUEST_TERMINATED_WITH_ERROR) {
                server->limits_.closed_by_server(context->kept, ClosedFor::malformed, Clock::now());
            }
        }
        delete held;
    }
};

HttpServer::HttpServer(const RequestHandler& handler, const LogSink& log, const LogSink& refusals,
                       const ServerSettings& settings)
    : handler_(handler),
      log_(log),
      refusals_(refusals),
      tls_(settings.tls),
      limits_(ClosingLimits{settings.request_timeout, settings.max_connections, settings.max_connections_per_client}),
      credential_checks_(WorkerPoolLimits{settings.credential_checkers, settings.credential_checks_per_client}) {}

std::expected<std::unique_ptr<HttpServer>, std::string> HttpServer::start(const ServerSettings& settings,
                                                                          const RequestHandler& handler,
                                                                          const LogSink& log,
                                                                          const LogSink& refusals) {
    const std::string failed = "could not listen on " + settings.listen + ": ";
    const std::optional<SocketAddress> where = parse_socket_address_literal(settings.listen);
    if (!where) return std::unexpected(failed + "not an address and port");
    auto listener = open_listener(*where);
    if (!listener) return std::unexpected(failed + os_error_text(listener.error()));

    std::unique_ptr<HttpServer> server(new HttpServer(handler, log, refusals, settings));
    server->address_ = bound_address(listener->get());
    unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME;
    if (!where->is_ipv4()) flags |= MHD_USE_IPv6;
    const int listen_fd = listener->get();
    const auto taken = static_cast<intptr_t>(settings.max_connections + connection_headroom);
    std::vector<MHD_OptionItem> options{
        {MHD_OPTION_LISTEN_SOCKET, listen_fd, nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, static_cast<intptr_t>(settings.request_timeout.count()), nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, taken, nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(settings.connection_memory_bytes), nullptr},
        {MHD_OPTION_URI_LOG_CALLBACK, reinterpret_cast<intptr_t>(&ServerCallbacks::request_line), server.get()},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&ServerCallbacks::completed), server.get()},
        {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&ServerCallbacks::connection_event), server.get()},
    };
    if (const TlsCredentials* tls = settings.tls) {
        flags |= MHD_USE_TLS;
        options.push_back({MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(tls->priorities())});
        options.push_back({MHD_OPTION_HTTPS_CERT_CALLBACK, 0,
                           reinterpret_cast<void*>(&choose_certificate<&ServerCallbacks::credentials_of>)});
        if (!tls->client_ca_pem().empty()) {
            options.push_back({MHD_OPTION_HTTPS_MEM_TRUST, 0, const_cast<char*>(tls->client_ca_pem().c_str())});
        }
    }
    options.push_back({MHD_OPTION_END, 0, nullptr});
    server->daemon_ = MHD_start_daemon(flags, 0, nullptr, nullptr, &ServerCallbacks::request, server.get(),
                                       MHD_OPTION_ARRAY, options.data(), MHD_OPTION_END);
    if (server->daemon_ == nullptr) {
        // The listener stays ours when the daemon did not start, unless it already closed it.
        if (::fcntl(listen_fd, F_GETFD) < 0) (void)listener->release();
        return std::unexpected(failed + "the HTTP server did not start");
    }
    (void)listener->release();  // the daemon closes it when it stops
    server->watcher_ = std::thread([raw = server.get()] { raw->watch_connections(); });
    return server;
}

HttpServer::~HttpServer() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    stop_watch_.notify_all();
    if (watcher_.joinable()) watcher_.join();
    credential_checks_.join();
    if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
    if (const std::optional<std::string> line = limits_.summary_line(Instant::max())) log_(*line);
}

void HttpServer::watch_connections() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        lock.unlock();
        const Instant now = Clock::now();
        Instant wake = now + longest_watch_sleep;
        if (const std::optional<Instant> late = limits_.close_late(now)) wake = std::min(wake, *late);
        if (const std::optional<std::string> line = limits_.summary_line(now)) log_(*line);
        if (const std::optional<Instant> due = limits_.next_summary()) wake = std::min(wake, *due);
        lock.lock();
        stop_watch_.wait_until(lock, wake, [this] { return stopping_; });
    }
}

bool HttpServer::wait_until_idle(Instant until) {
    std::unique_lock lock(mutex_);
    return idle_.wait_until(lock, until, [this] { return active_requests_ == 0; });
}

void HttpServer::request_began() {
    const std::lock_guard lock(mutex_);
    ++active_requests_;
}

void HttpServer::request_ended() {
    {
        const std::lock_guard lock(mutex_);
        --active_requests_;
    }
    idle_.notify_all();
}

}  // namespace quorlin::exporter
