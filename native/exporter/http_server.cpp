#include "exporter/http_server.hpp"

#include <civetweb.h>

#include <array>
#include <cstdio>
#include <string_view>

namespace quorlin::exporter {

namespace {

HttpServer* server_of(const mg_connection* connection) {
    return static_cast<HttpServer*>(mg_get_user_data(mg_get_context(connection)));
}

std::string_view text_or_empty(const char* text) { return text ? std::string_view(text) : std::string_view{}; }

void send(mg_connection* connection, const HttpResponse& response) {
    std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " +
                       mg_get_response_code_text(connection, response.status) + "\r\n";
    head.append("Content-Type: ").append(response.content_type).append("\r\n");
    head.append("Content-Length: ").append(std::to_string(response.body.size())).append("\r\n");
    head.append("Cache-Control: no-store\r\nConnection: close\r\n");
    if (!response.extra_header.empty()) head.append(response.extra_header).append("\r\n");
    head.append("\r\n");
    // A client that went away is no error of ours: there is nobody to tell.
    if (mg_write(connection, head.data(), head.size()) > 0 && !response.body.empty()) {
        (void)mg_write(connection, response.body.data(), response.body.size());
    }
}

}  // namespace

std::expected<std::unique_ptr<HttpServer>, std::string> HttpServer::start(const ServerSettings& settings,
                                                                          const RequestHandler& handler,
                                                                          const LogSink& log) {
    mg_init_library(0);
    std::unique_ptr<HttpServer> server(new HttpServer(handler, log));
    const std::string threads = std::to_string(settings.worker_threads);
    const std::string read_timeout = std::to_string(settings.read_timeout.count());
    const std::string request_size = std::to_string(settings.max_request_bytes);
    const std::array<const char*, 15> options = {
        "listening_ports", settings.listen.c_str(),
        "num_threads", threads.c_str(),
        "request_timeout_ms", read_timeout.c_str(),
        "max_request_size", request_size.c_str(),
        "enable_keep_alive", "no",
        "enable_directory_listing", "no",
        "decode_url", "yes",
        nullptr,
    };
    mg_callbacks callbacks{};
    callbacks.begin_request = &HttpServer::begin_request;
    callbacks.http_error = &HttpServer::http_error;
    callbacks.log_message = &HttpServer::log_message;

    std::array<char, 256> error_text{};
    mg_init_data init{&callbacks, server.get(), const_cast<const char**>(options.data())};
    mg_error_data error{nullptr, error_text.data(), error_text.size()};
    server->context_ = mg_start2(&init, &error);
    if (server->context_ == nullptr) {
        std::string reason = error_text[0] != '\0' ? std::string(error_text.data()) : "the HTTP server did not start";
        return std::unexpected("could not listen on " + settings.listen + ": " + reason);
    }
    std::array<mg_server_port, 1> ports{};
    if (mg_get_server_ports(server->context_, static_cast<int>(ports.size()), ports.data()) < 1) {
        return std::unexpected("could not listen on " + settings.listen + ": no port is open");
    }
    const std::string host = settings.listen.substr(0, settings.listen.rfind(':'));
    server->address_ = host + ":" + std::to_string(ports[0].port);
    return server;
}

HttpServer::~HttpServer() {
    if (context_ != nullptr) mg_stop(context_);
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

int HttpServer::begin_request(mg_connection* connection) {
    HttpServer* server = server_of(connection);
    server->request_began();
    const mg_request_info* info = mg_get_request_info(connection);
    const char* timeout = mg_get_header(connection, "X-Prometheus-Scrape-Timeout-Seconds");
    HttpRequest request{text_or_empty(info->request_method), text_or_empty(info->local_uri_raw),
                        text_or_empty(info->query_string),
                        timeout ? std::optional<std::string_view>(timeout) : std::nullopt, info->remote_addr};
    const HttpResponse response = server->handler_.handle(request);
    send(connection, response);
    server->request_ended();
    return response.status;
}

int HttpServer::http_error(mg_connection* connection, int status, const char* message) {
    const mg_request_info* info = mg_get_request_info(connection);
    std::string line = "refused a request from ";
    line.append(info ? info->remote_addr : "?").append(": ").append(std::to_string(status)).append(" ");
    line.append(text_or_empty(message));
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    server_of(connection)->log_(line);
    return 1;  // civetweb answers with its own short error page
}

int HttpServer::log_message(const mg_connection* connection, const char* message) {
    if (connection != nullptr) server_of(connection)->log_("HTTP server: " + std::string(text_or_empty(message)));
    return 1;  // never civetweb's own log
}

}  // namespace quorlin::exporter
