#include "exporter/worker_pool.hpp"

#include <algorithm>
#include <utility>

namespace quorlin::exporter {

WorkerPool::WorkerPool(WorkerPoolLimits limits)
    : limits_{std::max<std::size_t>(limits.workers, 1), std::max<std::size_t>(limits.waiting_per_key, 1)} {
    watcher_ = std::thread([this] { watch(); });
}

WorkerPool::~WorkerPool() { join(); }

bool WorkerPool::submit_as(std::string_view key, Instant until, Run run, Refuse refuse) {
    {
        std::unique_lock lock(mutex_);
        if (!closed_) {
            auto line = lines_.find(key);
            if (line == lines_.end()) {
                line = lines_.emplace(std::string(key), std::deque<Job>{}).first;
                turns_.push_back(line->first);
            } else if (line->second.size() >= limits_.waiting_per_key) {
                return false;
            }
            line->second.push_back(Job{until, std::move(run), std::move(refuse)});
            ++waiting_;
            if (idle_ == 0 && workers_.size() < limits_.workers) workers_.emplace_back([this] { work(); });
            lock.unlock();
            queued_.notify_one();
            changed_.notify_one();
            return true;
        }
    }
    refuse(true);
    return true;
}

void WorkerPool::close() {
    Lines refused;
    {
        const std::lock_guard lock(mutex_);
        if (closed_) return;
        closed_ = true;
        refused.swap(lines_);
        turns_.clear();
        waiting_ = 0;
    }
    queued_.notify_all();
    changed_.notify_all();
    for (auto& [key, line] : refused) {
        for (Job& job : line) job.refuse(true);
    }
}

bool WorkerPool::closed() const {
    const std::lock_guard lock(mutex_);
    return closed_;
}

void WorkerPool::join() {
    close();
    // Only this thread starts or joins threads once closed: submit starts none after close.
    for (std::thread& worker : workers_) {
        if (worker.joinable()) worker.join();
    }
    if (watcher_.joinable()) watcher_.join();
}

WorkerPool::Job WorkerPool::take_next() {
    const auto line = lines_.find(turns_.front());
    Job job = std::move(line->second.front());
    line->second.pop_front();
    --waiting_;
    if (line->second.empty()) {
        turns_.pop_front();
        lines_.erase(line);
    } else {
        turns_.splice(turns_.end(), turns_, turns_.begin());
    }
    return job;
}

void WorkerPool::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        ++idle_;
        queued_.wait(lock, [this] { return closed_ || waiting_ != 0; });
        --idle_;
        if (waiting_ == 0) return;  // closed, and nothing left to take
        Job job = take_next();
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

void WorkerPool::watch() {
    std::unique_lock lock(mutex_);
    while (!closed_) {
        Lines::iterator soonest_line = lines_.end();
        std::deque<Job>::iterator soonest;
        for (auto line = lines_.begin(); line != lines_.end(); ++line) {
            const auto first = std::ranges::min_element(line->second, {}, &Job::until);
            if (soonest_line == lines_.end() || first->until < soonest->until) {
                soonest_line = line;
                soonest = first;
            }
        }
        if (soonest_line == lines_.end()) {
            changed_.wait(lock);
            continue;
        }
        // A copy: a worker may take the job, and free it, while this waits.
        if (const Instant until = soonest->until; Clock::now() < until) {
            changed_.wait_until(lock, until);
            continue;
        }
        Job job = std::move(*soonest);
        soonest_line->second.erase(soonest);
        --waiting_;
        if (soonest_line->second.empty()) {
            turns_.remove(soonest_line->first);
            lines_.erase(soonest_line);
        }
        lock.unlock();
        job.refuse(false);
        job = {};
        lock.lock();
    }
}

}  // namespace quorlin::exporter
