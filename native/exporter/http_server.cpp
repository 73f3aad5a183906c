#include "exporter/http_server.hpp"

#include "common/os_error.hpp"
#include "common/secret.hpp"
#include "common/owned_fd.hpp"
#include "exporter/plain_http_refusal.hpp"
#include "exporter/request.hpp"
#include "probe/socket_address_literal.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gnutls/gnutls.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace quorlin::exporter {

namespace {

constexpr int listen_backlog = 1024;
constexpr std::size_t credential_checkers = 2;
// An Authorization header longer than this is not checked: it fails.
constexpr std::size_t longest_authorization = 1024;
constexpr std::string_view timeout_header = "X-Prometheus-Scrape-Timeout-Seconds";

// A listening socket; IPv6's unspecified address also takes IPv4 clients.
std::expected<OwnedFd, int> open_listener(const SocketAddress& where) {
    const int family = where.family();
    OwnedFd fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0) return std::unexpected(errno);
    const int on = 1;
    const int off = 0;
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) return std::unexpected(errno);
    if (!where.is_ipv4() && ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0) {
        return std::unexpected(errno);
    }
    if (::bind(fd.get(), where.as_sockaddr(), where.length()) != 0 ||
        ::listen(fd.get(), listen_backlog) != 0) {
        return std::unexpected(errno);
    }
    return fd;
}

// The text form of the address the socket got, with its port.
std::string bound_address(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return "?";
    const auto bound = SocketAddress::from_sockaddr(reinterpret_cast<const sockaddr*>(&address), length);
    return bound ? bound->to_text() : "?";
}

// The client's address for the log, without port; an IPv4 client of a
// dual-stack listener as plain IPv4.
std::string client_text(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (info == nullptr || info->client_addr == nullptr) return "?";
    std::array<char, INET6_ADDRSTRLEN> text{};
    if (info->client_addr->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(info->client_addr);
        ::inet_ntop(AF_INET, &v4->sin_addr, text.data(), text.size());
    } else if (info->client_addr->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(info->client_addr);
        if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
            ::inet_ntop(AF_INET, &v6->sin6_addr.s6_addr[12], text.data(), text.size());
        } else {
            ::inet_ntop(AF_INET6, &v6->sin6_addr, text.data(), text.size());
        }
    }
    return text[0] != '\0' ? std::string(text.data()) : "?";
}

// The connection cap, lowered where the open-file limit (raised as far as
// the hard limit allows) cannot hold it beside the reserve.
std::size_t fitting_connections(std::size_t wanted, std::size_t reserved) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return wanted;
    const rlim_t needed = static_cast<rlim_t>(wanted + reserved);
    if (limit.rlim_cur < needed) {
        rlimit raised = limit;
        raised.rlim_cur = std::min(needed, limit.rlim_max);
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    if (limit.rlim_cur >= needed) return wanted;
    return limit.rlim_cur > reserved + 16 ? static_cast<std::size_t>(limit.rlim_cur - reserved) : 16;
}

gnutls_session_t tls_session_of(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_GNUTLS_SESSION);
    return info != nullptr ? static_cast<gnutls_session_t>(info->tls_session) : nullptr;
}

// Whether the client's certificate is what the settings ask for: present
// and signed by the client CA, or, where it is optional, absent or so signed.
bool client_certificate_passes(ClientAuth asked, MHD_Connection* connection) {
    if (asked == ClientAuth::none) return true;
    const gnutls_session_t session = tls_session_of(connection);
    if (session == nullptr) return false;
    unsigned count = 0;
    if (gnutls_certificate_get_peers(session, &count) == nullptr || count == 0) {
        return asked == ClientAuth::verify_if_given;
    }
    unsigned status = 0;
    return gnutls_certificate_verify_peers2(session, &status) == GNUTLS_E_SUCCESS && status == 0;
}

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

    // A new connection: over TLS, the handshake is told what to ask of the
    // client, and the connection where to find the server's credentials.
    static void connection_event(void* cls, MHD_Connection* connection, void** context,
                                 MHD_ConnectionNotificationCode event) {
        auto* server = static_cast<HttpServer*>(cls);
        if (event != MHD_CONNECTION_NOTIFY_STARTED || server->tls_ == nullptr) return;
        *context = server;
        const gnutls_session_t session = tls_session_of(connection);
        if (session != nullptr) refuse_plain_http(session);
        const ClientAuth asked = server->tls_->settings().client_auth;
        if (session == nullptr || asked == ClientAuth::none) return;
        if (asked == ClientAuth::verify_if_given) {
            // GnuTLS's own check would refuse a client without one: the
            // request's check verifies a certificate that was sent.
            gnutls_certificate_server_set_request(session, GNUTLS_CERT_REQUEST);
            return;
        }
        gnutls_certificate_server_set_request(session, GNUTLS_CERT_REQUIRE);
        gnutls_session_set_verify_cert(session, nullptr, 0);
    }

    // The handshake's choice of certificate: the credentials' current pair.
    static int choose_certificate(gnutls_session_t session, const gnutls_datum_t* /*ca_names*/, int /*names*/,
                                  const gnutls_pk_algorithm_t* /*algorithms*/, int /*algorithm_count*/,
                                  gnutls_pcert_st** chain, unsigned* length, gnutls_privkey_t* key) {
        auto* connection = static_cast<MHD_Connection*>(gnutls_session_get_ptr(session));
        const MHD_ConnectionInfo* info =
            connection != nullptr ? MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT) : nullptr;
        const auto* server = info != nullptr ? static_cast<const HttpServer*>(info->socket_context) : nullptr;
        if (server == nullptr || server->tls_ == nullptr) return -1;
        server->tls_->choose(chain, length, key);
        return 0;
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

    // The head is complete: the handler answers at once or, for a probe, later.
    static void begin(HttpServer& server, const Held& exchange, const char* method) {
        const Instant arrival = Clock::now();
        server.request_began();
        MHD_Connection* connection = exchange->connection;
        HttpRequest request;
        request.method = method != nullptr ? method : "";
        const std::string target = origin_form(exchange->uri);
        const std::string_view uri = target;
        const std::size_t question = uri.find('?');
        const std::string_view raw_path = uri.substr(0, question);
        // An undecodable path is kept as sent; it routes nowhere and is refused.
        request.path = percent_decoded(raw_path).value_or(std::string(raw_path));
        if (question != std::string_view::npos) request.query = uri.substr(question + 1);
        const std::string timeout_name(timeout_header);
        if (const char* timeout = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, timeout_name.c_str())) {
            request.scrape_timeout = timeout;
        }
        request.client = client_text(connection);
        if (server.tls_ != nullptr && (!client_certificate_passes(server.tls_->settings().client_auth, connection) ||
                                       !server.tls_->client_names_allowed(tls_session_of(connection)))) {
            server.log_("refused " + request.method + " " + request.path + " from " + request.client +
                        ": 403 no valid client certificate");
            const std::lock_guard lock(exchange->mutex);
            exchange->response = HttpResponse{403, "text/plain; charset=utf-8", "a valid client certificate is required\n", {}};
            return;
        }
        Answer answer = [exchange](HttpResponse response) {
            const std::lock_guard lock(exchange->mutex);
            exchange->response = std::move(response);
            // Suspended: the listener hears of it and asks again, then queues it.
            if (exchange->suspended) {
                exchange->suspended = false;
                MHD_resume_connection(exchange->connection);
            }
        };
        const char* authorization =
            MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION);
        if (const std::optional<bool> at_once = server.handler_.authorized_at_once(request.path, authorization)) {
            request.authorized = *at_once;
            server.handler_.handle(std::move(request), arrival, answer);
            return;
        }
        auto credentials = std::make_shared<const Credentials>(authorization);
        const std::string client = request.client;
        server.credential_checks_->submit(
            arrival + server.idle_timeout_,
            [&server, request = std::move(request), arrival, answer, credentials]() mutable {
                request.authorized = server.handler_.authorized(request.path, credentials->value());
                server.handler_.handle(std::move(request), arrival, answer);
            },
            [&server, answer, client](bool) {
                server.log_("refused a request from " + client + ": 503 too many credentials to check at once");
                answer({503, "text/plain; charset=utf-8", "too many requests at once\n", {}});
            });
    }

    static void completed(void* cls, MHD_Connection* connection, void** state, MHD_RequestTerminationCode why) {
        auto* server = static_cast<HttpServer*>(cls);
        if (*state == nullptr) return;
        auto* held = static_cast<Held*>(*state);
        *state = nullptr;
        if ((*held)->handled) {
            server->request_ended();
        } else if (why == MHD_REQUEST_TERMINATED_TIMEOUT_REACHED) {
            server->log_("closed a connection from " + client_text(connection) + ": its request was not complete within " +
                         std::to_string(server->idle_timeout_.count()) + " s");
        } else if (why == MHD_REQUEST_TERMINATED_WITH_ERROR) {
            server->log_("refused a request from " + client_text(connection) + ": malformed or too large");
        }
        delete held;
    }
};

std::expected<std::unique_ptr<HttpServer>, std::string> HttpServer::start(const ServerSettings& settings,
                                                                          const RequestHandler& handler,
                                                                          const LogSink& log) {
    const std::string failed = "could not listen on " + settings.listen + ": ";
    const std::optional<SocketAddress> where = parse_socket_address_literal(settings.listen);
    if (!where) return std::unexpected(failed + "not an address and port");
    auto listener = open_listener(*where);
    if (!listener) return std::unexpected(failed + os_error_text(listener.error()));

    std::unique_ptr<HttpServer> server(new HttpServer(handler, log));
    server->credential_checks_ = std::make_unique<ProbeWorkers>(credential_checkers);
    server->idle_timeout_ = settings.idle_timeout;
    server->tls_ = settings.tls;
    server->address_ = bound_address(listener->get());
    const auto connections = static_cast<unsigned>(
        fitting_connections(settings.max_connections, settings.reserved_descriptors));
    const auto per_client = static_cast<unsigned>(std::min<std::size_t>(settings.max_connections_per_client,
                                                                        connections));
    unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME;
    if (!where->is_ipv4()) flags |= MHD_USE_IPv6;
    const int listen_fd = listener->get();
    std::vector<MHD_OptionItem> options{
        {MHD_OPTION_LISTEN_SOCKET, listen_fd, nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, static_cast<intptr_t>(settings.idle_timeout.count()), nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, static_cast<intptr_t>(connections), nullptr},
        {MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<intptr_t>(per_client), nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(settings.connection_memory_bytes), nullptr},
        {MHD_OPTION_URI_LOG_CALLBACK, reinterpret_cast<intptr_t>(&ServerCallbacks::request_line), server.get()},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&ServerCallbacks::completed), server.get()},
    };
    if (const TlsCredentials* tls = settings.tls) {
        flags |= MHD_USE_TLS;
        options.push_back({MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(tls->priorities())});
        options.push_back({MHD_OPTION_HTTPS_CERT_CALLBACK, 0, reinterpret_cast<void*>(&ServerCallbacks::choose_certificate)});
        options.push_back({MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&ServerCallbacks::connection_event),
                           server.get()});
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
    return server;
}

HttpServer::~HttpServer() {
    credential_checks_->join();
    if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
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
