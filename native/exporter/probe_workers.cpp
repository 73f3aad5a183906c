#include "exporter/probe_workers.hpp"

#include <algorithm>
#include <utility>

namespace quorlin::exporter {

ProbeWorkers::ProbeWorkers(std::size_t count) : count_(std::max<std::size_t>(count, 1)) {
    watcher_ = std::thread([this] { watch(); });
}

ProbeWorkers::~ProbeWorkers() { join(); }

void ProbeWorkers::submit(Instant until, Run run, Refuse refuse) {
    {
        std::unique_lock lock(mutex_);
        if (!closed_) {
            line_.push_back(Job{until, std::move(run), std::move(refuse)});
            if (idle_ == 0 && workers_.size() < count_) workers_.emplace_back([this] { work(); });
            lock.unlock();
            queued_.notify_one();
            changed_.notify_one();
            return;
        }
    }
    refuse(true);
}

void ProbeWorkers::close() {
    std::list<Job> refused;
    {
        const std::lock_guard lock(mutex_);
        if (closed_) return;
        closed_ = true;
        refused.swap(line_);
    }
    queued_.notify_all();
    changed_.notify_all();
    for (Job& job : refused) job.refuse(true);
}

bool ProbeWorkers::closed() const {
    const std::lock_guard lock(mutex_);
    return closed_;
}

void ProbeWorkers::join() {
    close();
    // Only this thread starts or joins threads once closed: submit starts none after close.
    for (std::thread& worker : workers_) {
        if (worker.joinable()) worker.join();
    }
    if (watcher_.joinable()) watcher_.join();
}

void ProbeWorkers::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        ++idle_;
        queued_.wait(lock, [this] { return closed_ || !line_.empty(); });
        --idle_;
        if (line_.empty()) return;  // closed, and nothing left to take
        Job job = std::move(line_.front());
        line_.pop_front();
        lock.unlock();
        // The watch may not have reached a job whose moment has just passed.
        if (Clock::now() > job.until) {
            job.refuse(false);
        } else {
            job.run();
        }
        job = {};  // what the job holds is released outside the lock
        lock.lock();
    }
}

void ProbeWorkers::watch() {
    std::unique_lock lock(mutex_);
    while (!closed_) {
        const auto first = std::min_element(line_.begin(), line_.end(),
                                            [](const Job& a, const Job& b) { return a.until < b.until; });
        if (first == line_.end()) {
            changed_.wait(lock);
            continue;
        }
        if (Clock::now() < first->until) {
            changed_.wait_until(lock, first->until);
            continue;
        }
        Job job = std::move(*first);
        line_.erase(first);
        lock.unlock();
        job.refuse(false);
        job = {};
        lock.lock();
    }
}

}  // namespace quorlin::exporter
