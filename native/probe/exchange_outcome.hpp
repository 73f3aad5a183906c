#pragma once
// What one data check's encrypted exchange came to: a reply accepted, a limit
// reached first, or a local error, with the bytes it moved on the socket.

#include "common/clock.hpp"
#include "packet/ipv4.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace quorlin {

// The result of the encrypted exchange of one check's request (sent once or
// tried again), with the bytes sent and received on the socket during it.
struct ExchangeOutcome {
    // A packet the check accepted; for DNS, the response's A-record addresses
    // in answer order, possibly none. `round_trip` runs from the sending of
    // the try it answered (the latest try sent, when the reply does not say
    // which) to its arrival; `tries` counts the tries sent by then.
    struct Matched {
        std::vector<Ipv4Octets> a_records;
        Clock::duration round_trip{};
        std::uint32_t tries = 1;
        std::optional<std::uint8_t> dns_response_code;  // a DNS answer's RCODE
        bool refused = false;                           // a TCP reset: the service refused
        friend bool operator==(const Matched&, const Matched&) = default;
    };
    // What ended a wait without a match.
    enum class Limit : std::uint8_t { check_deadline, overall_deadline, session_lifetime };
    // A limit passed first, before sending (nothing sent) or while waiting.
    struct NoMatch {
        Limit limit = Limit::check_deadline;
        friend bool operator==(const NoMatch&, const NoMatch&) = default;
    };
    struct Error {
        std::string message;
        int error_number = 0;  // the system error of a failed send or receive, else 0
        friend bool operator==(const Error&, const Error&) = default;
    };

    std::variant<Matched, NoMatch, Error> result;
    std::uint64_t sent_bytes = 0;
    std::uint64_t received_bytes = 0;

    static ExchangeOutcome matched(std::vector<Ipv4Octets> a_records, std::uint64_t sent_bytes,
                                   std::uint64_t received_bytes, Clock::duration round_trip = {},
                                   std::uint32_t tries = 1) {
        return {Matched{std::move(a_records), round_trip, tries}, sent_bytes, received_bytes};
    }
    static ExchangeOutcome no_match(Limit limit, std::uint64_t sent_bytes, std::uint64_t received_bytes) {
        return {NoMatch{limit}, sent_bytes, received_bytes};
    }
    static ExchangeOutcome error(std::string message, std::uint64_t sent_bytes, std::uint64_t received_bytes,
                                 int error_number = 0) {
        return {Error{std::move(message), error_number}, sent_bytes, received_bytes};
    }

    bool is_matched() const noexcept { return std::holds_alternative<Matched>(result); }
    // The A records of a match; null otherwise.
    const std::vector<Ipv4Octets>* a_records() const noexcept {
        const auto* matched = std::get_if<Matched>(&result);
        return matched ? &matched->a_records : nullptr;
    }
    const Matched* match() const noexcept { return std::get_if<Matched>(&result); }

    friend bool operator==(const ExchangeOutcome&, const ExchangeOutcome&) = default;
};

}  // namespace quorlin
