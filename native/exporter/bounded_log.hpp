#pragma once
// A log that writes at most a set number of lines per interval: a flood of
// refused requests must not become a flood of log lines. Lines beyond the
// budget are counted, and one line at the interval's end tells how many
// were left out.

#include "common/clock.hpp"
#include "exporter/handler.hpp"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string_view>
#include <thread>

namespace quorlin::exporter {

struct LogBudget {
    std::size_t lines = 20;
    std::chrono::milliseconds interval{10'000};
};

class BoundedLog {
public:
    // `out` must outlive this.
    BoundedLog(const LogSink& out, LogBudget budget);
    BoundedLog(const BoundedLog&) = delete;
    BoundedLog& operator=(const BoundedLog&) = delete;
    // Tells what was left out, if anything.
    ~BoundedLog();

    void line(std::string_view text);
    // A sink that writes through this log; valid while this lives.
    const LogSink& sink() const noexcept { return sink_; }

private:
    // The lock is held for these.
    void end_interval(Instant now);
    void run();

    const LogSink& out_;
    const LogBudget budget_;
    const LogSink sink_;
    std::mutex mutex_;
    std::condition_variable changed_;
    Instant interval_start_;
    std::size_t written_ = 0;
    std::size_t left_out_ = 0;
    bool stopping_ = false;
    std::thread thread_;  // ends an interval that left lines out when nothing else is logged
};

}  // namespace quorlin::exporter
