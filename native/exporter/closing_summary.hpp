#pragma once
// Connections the server closed before they asked for anything, told in one
// log line per interval at most: a flood of slow or broken clients must not
// become a flood of log lines. The first line of a burst comes a second
// after its first closing, so that one line covers the burst's start.

#include "common/clock.hpp"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace quorlin::exporter {

enum class ClosedFor : std::uint8_t {
    late_request,   // no complete request within the time from connecting
    room_at_cap,    // without a complete request, for a newer one
    cap_full,       // a new one at the cap, every other with a request in progress
    client_cap,     // over the cap of one client address's connections without a complete request
    malformed,      // a request the server could not read
};
inline constexpr std::size_t closed_for_count = 5;

// The numbers the line names.
struct ClosingLimits {
    std::chrono::seconds request_timeout{5};
    std::size_t max_connections = 1024;
    std::size_t max_per_client = 64;
};

inline constexpr std::chrono::seconds summary_interval{10};
inline constexpr std::chrono::seconds summary_settle{1};

class ClosingSummary {
public:
    explicit ClosingSummary(ClosingLimits limits) : limits_(limits) {}

    // `client`: the client's key as the limits count it.
    void add(ClosedFor why, const std::string& client, Instant now);
    // The line when one is due (the counts start again), else nothing.
    std::optional<std::string> line(Instant now);
    // When the next line falls due; nothing while nothing is counted.
    std::optional<Instant> next_due() const;

private:
    // Clients named apart; beyond them a line still counts every closing.
    static constexpr std::size_t most_clients = 4096;

    ClosingLimits limits_;
    std::array<std::size_t, closed_for_count> counts_{};
    std::map<std::string, std::size_t> by_client_;
    std::optional<Instant> first_;
    std::optional<Instant> last_line_;
};

}  // namespace quorlin::exporter
