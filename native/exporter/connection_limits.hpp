#pragma once
// Which connections the server keeps. A connection must complete its
// request within a fixed time from connecting (a byte now and then does not
// extend it); at the connection cap a connection without a complete request
// is closed to make room for the new one: the oldest of the client address
// that holds the most such connections, so that an attacker's stream of new
// connections closes its own before a scraper's; one client
// address (an IPv6 /64) holds at most a set number of connections without a
// complete request (a scraper sends its request as it connects; one with a
// request in progress is bounded by that request's time limit). Closing
// is a shutdown of the socket: the HTTP server sees the end of the stream
// and releases the connection itself. Every closing is counted for the
// summary line. The HTTP server's listener thread reports openings, complete
// requests and closings; a watch thread closes the late ones.

#include "common/clock.hpp"
#include "exporter/client_address.hpp"
#include "exporter/closing_summary.hpp"

#include <sys/types.h>

#include <chrono>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace quorlin::exporter {

class ConnectionLimits {
public:
    struct Connection {
        int fd = -1;
        ino_t socket = 0;  // tells the socket from a later one given the same descriptor
        ClientAddress client;
        Instant start;
        bool request_complete = false;
        bool closing = false;
        std::list<Connection>::iterator self;
    };

    explicit ConnectionLimits(ClosingLimits limits) : limits_(limits), summary_(limits) {}
    ConnectionLimits(const ConnectionLimits&) = delete;
    ConnectionLimits& operator=(const ConnectionLimits&) = delete;

    // A new connection on `fd`: its record, kept until closed(). When it
    // cannot be kept it is already being closed.
    Connection* opened(int fd, ClientAddress client, Instant now);
    // Its request is complete: from now on it is not closed for being slow.
    void request_complete(Connection* connection);
    // The server closed it for a reason of its own.
    void closed_by_server(Connection* connection, ClosedFor why, Instant now);
    // Gone: called before its descriptor is closed.
    void closed(Connection* connection);

    // Closes the connections whose request is late; when the next one falls due.
    std::optional<Instant> close_late(Instant now);
    std::optional<std::string> summary_line(Instant now);
    std::optional<Instant> next_summary() const;

    std::chrono::seconds request_timeout() const noexcept { return limits_.request_timeout; }
    // Connections open and not being closed.
    std::size_t kept() const;

private:
    // The lock is held for these.
    void close(Connection& connection, ClosedFor why, Instant now);
    void forget_waiting(const Connection& connection);
    // The connection to close for a new one at the cap; null when every other has a request.
    Connection* to_make_room(const Connection* besides);

    const ClosingLimits limits_;
    mutable std::mutex mutex_;
    std::list<Connection> connections_;  // oldest first
    std::size_t kept_ = 0;
    // Kept and without a complete request, by client key.
    std::unordered_map<std::string, std::size_t> per_client_;
    ClosingSummary summary_;
};

}  // namespace quorlin::exporter
