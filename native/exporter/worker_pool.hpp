#pragma once
// At most N jobs at once, each on a worker thread of its own, so that a
// slow job (a probe, a bcrypt check) never holds the HTTP listener. Jobs
// wait in lines, one per key (a client address, or one line for all): the
// workers take from the lines in turn, so a long line never holds up a short
// one, and a line holds at most a set number of jobs. A job that finds
// every worker busy waits, but only until its own moment: then it is refused
// at once (by a watch thread that keeps that time), never later. Closing
// (the exporter is stopping) refuses everything in line at once; running
// jobs go on to their end.

#include "common/clock.hpp"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <limits>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace quorlin::exporter {

struct WorkerPoolLimits {
    std::size_t workers = 1;
    // Jobs waiting in one key's line; a job beyond them is not taken.
    std::size_t waiting_per_key = std::numeric_limits<std::size_t>::max();
};

class WorkerPool {
public:
    using Run = std::function<void()>;
    // `stopping`: refused because the pool was closed, not for lack of time.
    using Refuse = std::function<void(bool stopping)>;

    // Workers start as they are needed, up to `limits.workers`.
    explicit WorkerPool(WorkerPoolLimits limits);
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;
    // Closes, then waits for the running jobs.
    ~WorkerPool();

    // Exactly one of `run` (on a worker, when one is free by `until`) and
    // `refuse` (at `until`, or at once after close) is called, never under a
    // lock of ours. After close, `refuse(true)` is called before this returns.
    void submit(Instant until, Run run, Refuse refuse) { (void)submit_as("", until, std::move(run), std::move(refuse)); }

    // The same in `key`'s line; false, with neither called, when that line is full.
    [[nodiscard]] bool submit_as(std::string_view key, Instant until, Run run, Refuse refuse);

    void close();
    bool closed() const;
    // Closes, then waits for every thread to end: the running jobs end by their deadlines.
    void join();

private:
    struct Job {
        Instant until;
        Run run;
        Refuse refuse;
    };
    using Lines = std::map<std::string, std::deque<Job>, std::less<>>;

    void work();
    void watch();
    // The next job in turn, its line moved to the back; the lock is held.
    Job take_next();

    const WorkerPoolLimits limits_;
    mutable std::mutex mutex_;
    std::condition_variable queued_;   // workers: a job in line, or closed
    std::condition_variable changed_;  // the watch: the lines or the state changed
    Lines lines_;                      // each oldest first; no empty line is kept
    std::list<std::string> turns_;     // keys of the lines, the next to serve first
    std::size_t waiting_ = 0;
    std::size_t idle_ = 0;
    bool closed_ = false;
    std::vector<std::thread> workers_;
    std::thread watcher_;
};

}  // namespace quorlin::exporter
