#include "exporter/closing_summary.hpp"

#include <algorithm>
#include <numeric>

namespace quorlin::exporter {

namespace {

std::string reason_text(ClosedFor why, std::size_t count, const ClosingLimits& limits) {
    const std::string n = std::to_string(count);
    switch (why) {
        case ClosedFor::late_request:
            return n + " without a complete request within " + std::to_string(limits.request_timeout.count()) +
                   " s of connecting";
        case ClosedFor::room_at_cap:
            return n + " without a complete request, from the clients holding the most, to make room at the cap of " +
                   std::to_string(limits.max_connections) + " connections";
        case ClosedFor::cap_full:
            return n + " refused at the cap of " + std::to_string(limits.max_connections) +
                   " connections, every one with a request in progress";
        case ClosedFor::client_cap:
            return n + " over the cap of " + std::to_string(limits.max_per_client) +
                   " connections without a complete request per client address";
        case ClosedFor::malformed: return n + " with a malformed or too large request";
    }
    return n;
}

}  // namespace

void ClosingSummary::add(ClosedFor why, const std::string& client, Instant now) {
    ++counts_[static_cast<std::size_t>(why)];
    if (const auto known = by_client_.find(client); known != by_client_.end()) {
        ++known->second;
    } else if (by_client_.size() < most_clients) {
        by_client_.emplace(client, 1);
    }
    if (!first_) first_ = now;
}

std::optional<Instant> ClosingSummary::next_due() const {
    if (!first_) return std::nullopt;
    const Instant settled = *first_ + summary_settle;
    return last_line_ ? std::max(settled, *last_line_ + summary_interval) : settled;
}

std::optional<std::string> ClosingSummary::line(Instant now) {
    const std::optional<Instant> due = next_due();
    if (!due || now < *due) return std::nullopt;
    const std::size_t total = std::accumulate(counts_.begin(), counts_.end(), std::size_t{0});
    std::string text = "closed " + std::to_string(total) + (total == 1 ? " connection" : " connections");
    const auto most = std::ranges::max_element(by_client_, {}, [](const auto& entry) { return entry.second; });
    if (most != by_client_.end()) {
        text += " (most from " + most->first + ": " + std::to_string(most->second) + ")";
    }
    text += ":";
    const char* separator = " ";
    for (std::size_t why = 0; why < closed_for_count; ++why) {
        if (counts_[why] == 0) continue;
        text += separator + reason_text(static_cast<ClosedFor>(why), counts_[why], limits_);
        separator = ", ";
    }
    counts_ = {};
    by_client_.clear();
    first_.reset();
    last_line_ = now;
    return text;
}

}  // namespace quorlin::exporter
