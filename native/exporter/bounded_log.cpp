#include "exporter/bounded_log.hpp"

#include <algorithm>
#include <cstdint>
#include <string>

namespace quorlin::exporter {

BoundedLog::BoundedLog(const LogSink& out, LogBudget budget)
    : out_(out),
      budget_(budget),
      sink_([this](std::string_view text) { line(text); }),
      interval_start_(Clock::now()) {
    thread_ = std::thread([this] { run(); });
}

BoundedLog::~BoundedLog() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
        end_interval(Clock::now());
    }
    changed_.notify_all();
    thread_.join();
}

void BoundedLog::end_interval(Instant now) {
    if (left_out_ != 0) {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - interval_start_).count();
        out_("left out " + std::to_string(left_out_) + (left_out_ == 1 ? " log line" : " log lines") +
             " in the last " + std::to_string(std::max<std::int64_t>(seconds, 1)) + " s: at most " +
             std::to_string(budget_.lines) + " are written per " +
             std::to_string(std::chrono::duration_cast<std::chrono::seconds>(budget_.interval).count()) + " s");
    }
    interval_start_ = now;
    written_ = 0;
    left_out_ = 0;
}

void BoundedLog::line(std::string_view text) {
    bool first_left_out = false;
    {
        // Written under the lock, so that lines keep their order.
        const std::lock_guard lock(mutex_);
        const Instant now = Clock::now();
        if (now >= interval_start_ + budget_.interval) end_interval(now);
        if (written_ < budget_.lines) {
            ++written_;
            out_(text);
            return;
        }
        first_left_out = left_out_++ == 0;
    }
    if (first_left_out) changed_.notify_all();
}

void BoundedLog::run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (left_out_ == 0) {
            changed_.wait(lock);
            continue;
        }
        const Instant end = interval_start_ + budget_.interval;
        if (Clock::now() < end) {
            changed_.wait_until(lock, end);
            continue;
        }
        end_interval(Clock::now());
    }
}

}  // namespace quorlin::exporter
