#pragma once
// At most N probes at once, each on a worker thread of its own, so that a
// probe never holds the HTTP listener. A probe that finds every worker busy
// waits in line, but only until its own moment: then it is refused at once
// (by a watch thread that keeps that time), never later. Closing (the
// exporter is stopping) refuses everything in line at once; running probes
// go on to their end.

#include "common/clock.hpp"

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

namespace quorlin::exporter {

class ProbeWorkers {
public:
    using Run = std::function<void()>;
    // `stopping`: refused because the workers were closed, not for lack of time.
    using Refuse = std::function<void(bool stopping)>;

    // Workers start as they are needed, up to `count`.
    explicit ProbeWorkers(std::size_t count);
    ProbeWorkers(const ProbeWorkers&) = delete;
    ProbeWorkers& operator=(const ProbeWorkers&) = delete;
    // Closes, then waits for the running probes.
    ~ProbeWorkers();

    // Exactly one of `run` (on a worker, when one is free by `until`) and
    // `refuse` (at `until`, or at once after close) is called, never under a
    // lock of ours. After close, `refuse(true)` is called before this returns.
    void submit(Instant until, Run run, Refuse refuse);

    void close();
    bool closed() const;
    // Closes, then waits for every thread to end: the running probes end by their deadlines.
    void join();

private:
    struct Job {
        Instant until;
        Run run;
        Refuse refuse;
    };

    void work();
    void watch();

    const std::size_t count_;
    mutable std::mutex mutex_;
    std::condition_variable queued_;   // workers: a job in line, or closed
    std::condition_variable changed_;  // the watch: the line or the state changed
    std::list<Job> line_;              // oldest first
    std::size_t idle_ = 0;
    bool closed_ = false;
    std::vector<std::thread> workers_;
    std::thread watcher_;
};

}  // namespace quorlin::exporter
