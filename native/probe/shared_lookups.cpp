#include "probe/shared_lookups.hpp"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>

#include "common/os_error.hpp"
#include "probe/address_lookup.hpp"

namespace quorlin {

namespace {

// "quorlin-resolver" cut to the 15 bytes Linux keeps: it refuses longer
// names rather than shortening them.
constexpr char kResolverThreadName[] = "quorlin-resolve";
static_assert(sizeof kResolverThreadName - 1 <= 15);

// One host's lookup. Guarded by the table's mutex, except `host`, which
// never changes and which the worker reads without it.
struct Lookup {
    explicit Lookup(std::string name) : host(std::move(name)) {}
    const std::string host;
    std::condition_variable ended;
    std::optional<ResolveOutcome> outcome;
    bool stopped = false;  // the worker stopped without an outcome (out of memory)
    bool started = false;
    std::size_t waiters = 0;

    bool over() const noexcept { return outcome.has_value() || stopped; }
};

// Never destroyed: a detached worker may finish while the process runs its
// exit handlers.
struct LookupTable {
    std::mutex mutex;
    std::unordered_map<std::string, std::shared_ptr<Lookup>> in_flight;
    std::deque<std::shared_ptr<Lookup>> line;  // waiting for a worker, oldest first
    std::size_t limit = RESOLVER_WORKER_LIMIT;
    std::size_t busy = 0;
};

LookupTable& lookup_table() {
    static auto* const table = new LookupTable;
    return *table;
}

void forget_locked(LookupTable& table, const std::shared_ptr<Lookup>& lookup) noexcept {
    const auto found = table.in_flight.find(lookup->host);
    if (found != table.in_flight.end() && found->second == lookup) table.in_flight.erase(found);
}

void end_locked(LookupTable& table, const std::shared_ptr<Lookup>& lookup) noexcept {
    forget_locked(table, lookup);
    lookup->ended.notify_all();
}

// The next lookup in line for a worker that has just finished one, or
// nothing when the worker should end (no work, or the cap was lowered).
std::shared_ptr<Lookup> next_in_line_locked(LookupTable& table) noexcept {
    if (table.busy > table.limit || table.line.empty()) return nullptr;
    std::shared_ptr<Lookup> next = std::move(table.line.front());
    table.line.pop_front();
    next->started = true;
    return next;
}

void* worker_main(void* argument) noexcept {
    std::shared_ptr<Lookup> lookup = std::move(*static_cast<std::shared_ptr<Lookup>*>(argument));
    delete static_cast<std::shared_ptr<Lookup>*>(argument);
    // Named from inside: a detached thread's handle may already be stale by
    // the time its creator could use it.
    pthread_setname_np(pthread_self(), kResolverThreadName);
    LookupTable& table = lookup_table();
    while (lookup) {
        std::optional<ResolveOutcome> outcome;
        try {
            outcome = lookup_first_address(lookup->host);
        } catch (...) {
            // Out of memory: the callers hear that the resolver stopped
            // rather than the process ending.
        }
        const std::lock_guard lock(table.mutex);
        if (outcome) {
            lookup->outcome = std::move(outcome);
        } else {
            lookup->stopped = true;
        }
        end_locked(table, lookup);
        lookup = next_in_line_locked(table);
        if (!lookup) --table.busy;
    }
    return nullptr;
}

// Starts a detached worker for `lookup`; 0 or the error number.
int start_worker_thread(const std::shared_ptr<Lookup>& lookup) {
    auto* handed = new std::shared_ptr<Lookup>(lookup);
    pthread_attr_t attributes;
    int error = pthread_attr_init(&attributes);
    if (error == 0) {
        error = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        if (error == 0) {
            // Signals stay with the caller's threads: the new thread starts
            // with every signal blocked, then the caller's mask is restored.
            sigset_t all;
            sigset_t previous;
            sigfillset(&all);
            const bool masked = pthread_sigmask(SIG_SETMASK, &all, &previous) == 0;
            pthread_t thread;
            error = pthread_create(&thread, &attributes, worker_main, handed);
            if (masked) pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        }
        pthread_attr_destroy(&attributes);
    }
    if (error != 0) delete handed;
    return error;
}

// Gives `lookup` a worker of its own; when none can start, the lookup ends
// with that failure for everyone waiting on it.
void start_worker_locked(LookupTable& table, const std::shared_ptr<Lookup>& lookup) {
    if (const int error = start_worker_thread(lookup); error != 0) {
        lookup->outcome = std::unexpected(ResolveError{"could not start endpoint resolver: " + os_error_text(error),
                                                       FailureCause{FailureCause::Kind::os_error, error}});
        end_locked(table, lookup);
        return;
    }
    lookup->started = true;
    ++table.busy;
}

}  // namespace

void set_resolver_worker_limit(std::size_t limit) {
    LookupTable& table = lookup_table();
    const std::lock_guard lock(table.mutex);
    table.limit = std::max<std::size_t>(limit, 1);
    while (table.busy < table.limit && !table.line.empty()) {
        std::shared_ptr<Lookup> next = std::move(table.line.front());
        table.line.pop_front();
        start_worker_locked(table, next);
    }
}

std::size_t resolver_worker_limit() noexcept {
    LookupTable& table = lookup_table();
    const std::lock_guard lock(table.mutex);
    return table.limit;
}

std::size_t active_resolver_workers() noexcept {
    LookupTable& table = lookup_table();
    const std::lock_guard lock(table.mutex);
    return table.busy;
}

std::expected<ResolveOutcome, LookupUnfinished> wait_for_host_lookup(const std::string& host, Instant deadline) {
    LookupTable& table = lookup_table();
    std::unique_lock lock(table.mutex);
    std::shared_ptr<Lookup> lookup;
    if (const auto found = table.in_flight.find(host); found != table.in_flight.end()) {
        lookup = found->second;
    } else {
        lookup = std::make_shared<Lookup>(host);
        table.in_flight.emplace(host, lookup);
        if (table.busy < table.limit) {
            start_worker_locked(table, lookup);
        } else {
            table.line.push_back(lookup);
        }
    }
    ++lookup->waiters;
    lookup->ended.wait_until(lock, deadline, [&] { return lookup->over(); });
    --lookup->waiters;
    if (lookup->outcome) return *lookup->outcome;
    if (lookup->stopped) {
        return ResolveOutcome(std::unexpected(ResolveError{"endpoint resolver stopped unexpectedly", std::nullopt}));
    }
    if (lookup->started) return std::unexpected(LookupUnfinished::running);
    if (lookup->waiters == 0) {
        // Nobody wants it any more: it leaves the line unrun.
        std::erase(table.line, lookup);
        forget_locked(table, lookup);
    }
    return std::unexpected(LookupUnfinished::waiting_for_worker);
}

}  // namespace quorlin
