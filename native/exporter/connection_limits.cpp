#include "exporter/connection_limits.hpp"

#include <sys/socket.h>
#include <sys/stat.h>

#include <iterator>

namespace quorlin::exporter {

namespace {

ino_t socket_of(int fd) {
    struct stat status {};
    return ::fstat(fd, &status) == 0 ? status.st_ino : 0;
}

}  // namespace

ConnectionLimits::Connection* ConnectionLimits::opened(int fd, ClientAddress client, Instant now) {
    const std::lock_guard lock(mutex_);
    Connection& connection = connections_.emplace_back(Connection{fd, socket_of(fd), std::move(client), now});
    connection.self = std::prev(connections_.end());
    ++kept_;
    std::size_t& from_client = per_client_[connection.client.key];
    ++from_client;
    if (from_client > limits_.max_per_client) {
        close(connection, ClosedFor::client_cap, now);
    } else if (kept_ > limits_.max_connections) {
        if (Connection* room = to_make_room(&connection)) {
            close(*room, ClosedFor::room_at_cap, now);
        } else {
            close(connection, ClosedFor::cap_full, now);
        }
    }
    return &connection;
}

void ConnectionLimits::request_complete(Connection* connection) {
    const std::lock_guard lock(mutex_);
    if (connection->request_complete) return;
    connection->request_complete = true;
    if (!connection->closing) forget_waiting(*connection);
}

void ConnectionLimits::forget_waiting(const Connection& connection) {
    if (const auto from_client = per_client_.find(connection.client.key); --from_client->second == 0) {
        per_client_.erase(from_client);
    }
}

void ConnectionLimits::closed_by_server(Connection* connection, ClosedFor why, Instant now) {
    const std::lock_guard lock(mutex_);
    if (connection->closing) return;
    // Counted here once: the server's own idle timeout and ours run out at
    // about the same moment, and close_late passes a closing one by.
    connection->closing = true;
    --kept_;
    if (!connection->request_complete) forget_waiting(*connection);
    summary_.add(why, connection->client.key, now);
}

void ConnectionLimits::closed(Connection* connection) {
    const std::lock_guard lock(mutex_);
    if (!connection->closing) {
        --kept_;
        if (!connection->request_complete) forget_waiting(*connection);
    }
    connections_.erase(connection->self);
}

void ConnectionLimits::close(Connection& connection, ClosedFor why, Instant now) {
    connection.closing = true;
    --kept_;
    if (!connection.request_complete) forget_waiting(connection);
    summary_.add(why, connection.client.key, now);
    // The server closes the descriptor only after closed(), which waits for
    // this lock: the check guards against a server that closes it first.
    if (socket_of(connection.fd) == connection.socket) ::shutdown(connection.fd, SHUT_RDWR);
}

ConnectionLimits::Connection* ConnectionLimits::to_make_room(const Connection* besides) {
    Connection* chosen = nullptr;
    std::size_t most = 0;
    for (Connection& connection : connections_) {
        if (connection.closing || connection.request_complete || &connection == besides) continue;
        // Oldest first: a later one is chosen only for a client holding more.
        const std::size_t held = per_client_.at(connection.client.key);
        if (held > most) {
            chosen = &connection;
            most = held;
        }
    }
    return chosen;
}

std::optional<Instant> ConnectionLimits::close_late(Instant now) {
    const std::lock_guard lock(mutex_);
    for (Connection& connection : connections_) {
        if (connection.closing || connection.request_complete) continue;
        const Instant due = connection.start + limits_.request_timeout;
        if (due > now) return due;  // oldest first: the rest are due later
        close(connection, ClosedFor::late_request, now);
    }
    return std::nullopt;
}

std::optional<std::string> ConnectionLimits::summary_line(Instant now) {
    const std::lock_guard lock(mutex_);
    return summary_.line(now);
}

std::optional<Instant> ConnectionLimits::next_summary() const {
    const std::lock_guard lock(mutex_);
    return summary_.next_due();
}

std::size_t ConnectionLimits::kept() const {
    const std::lock_guard lock(mutex_);
    return kept_;
}

}  // namespace quorlin::exporter
