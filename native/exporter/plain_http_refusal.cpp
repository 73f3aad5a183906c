#include "exporter/plain_http_refusal.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>

namespace quorlin::exporter {

namespace {

// The first five bytes of the requests HTTP clients send, as HTTPS servers check them.
constexpr std::array<std::string_view, 5> request_openings = {"GET /", "HEAD ", "POST ", "PUT /", "OPTIO"};
constexpr std::size_t opening_bytes = 5;
// What is drained before closing, so that the close sends FIN, not a reset
// that could overtake the answer.
constexpr std::size_t drained_bytes = 16 * 1024;

int socket_of(gnutls_transport_ptr_t transport) {
    return static_cast<int>(reinterpret_cast<std::intptr_t>(transport));
}

ssize_t plain_read(gnutls_transport_ptr_t transport, void* data, std::size_t size) {
    return ::recv(socket_of(transport), data, size, 0);
}

bool could_open_a_request(std::string_view seen) {
    return std::ranges::any_of(request_openings, [&](std::string_view opening) {
        return opening.starts_with(seen.substr(0, opening.size()));
    });
}

void answer_and_drain(int fd) {
    (void)::send(fd, plain_http_answer.data(), plain_http_answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    std::array<char, 4096> sink{};
    for (std::size_t drained = 0; drained < drained_bytes;) {
        const ssize_t got = ::recv(fd, sink.data(), sink.size(), MSG_DONTWAIT);
        if (got <= 0) break;
        drained += static_cast<std::size_t>(got);
    }
    ::shutdown(fd, SHUT_WR);
}

// Reads before the ClientHello: peeks at the opening bytes first.
ssize_t first_read(gnutls_transport_ptr_t transport, void* data, std::size_t size) {
    const int fd = socket_of(transport);
    std::array<char, opening_bytes> opening{};
    const ssize_t seen = ::recv(fd, opening.data(), opening.size(), MSG_PEEK | MSG_DONTWAIT);
    if (seen <= 0) return plain_read(transport, data, size);
    const std::string_view text(opening.data(), static_cast<std::size_t>(seen));
    if (!could_open_a_request(text)) return plain_read(transport, data, size);
    if (text.size() < opening_bytes) {
        // Too few bytes to tell: wait for more, as an empty socket would.
        errno = EAGAIN;
        return -1;
    }
    answer_and_drain(fd);
    errno = ECONNRESET;
    return -1;
}

int client_hello_seen(gnutls_session_t session, unsigned /*type*/, unsigned /*when*/, unsigned /*incoming*/,
                      const gnutls_datum_t* /*message*/) {
    gnutls_transport_set_pull_function(session, plain_read);
    return 0;
}

}  // namespace

void refuse_plain_http(gnutls_session_t session) {
    gnutls_transport_set_pull_function(session, first_read);
    gnutls_handshake_set_hook_function(session, GNUTLS_HANDSHAKE_CLIENT_HELLO, GNUTLS_HOOK_PRE, client_hello_seen);
}

}  // namespace quorlin::exporter
