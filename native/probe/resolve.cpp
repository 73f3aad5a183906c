#include "probe/resolve.hpp"

#include <netdb.h>
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <memory>
#include <string_view>
#include <utility>

#include "common/os_error.hpp"
#include "probe/resolver_slot.hpp"
#include "probe/result_channel.hpp"
#include "probe/socket_address_literal.hpp"

namespace quorlin {

namespace {

// "quorlin-resolver" cut to the 15 bytes Linux keeps: it refuses longer
// names rather than shortening them.
constexpr char kResolverThreadName[] = "quorlin-resolve";
static_assert(sizeof kResolverThreadName - 1 <= 15);


ResolveError failure(std::string message, std::optional<FailureCause> cause = std::nullopt) {
    return ResolveError{std::move(message), cause};
}

ResolveError lookup_failure(int code, int saved_errno) {
    std::string message = "failed to lookup address information: ";
    if (code == EAI_SYSTEM) {
        return failure(message + os_error_text(saved_errno), FailureCause{FailureCause::Kind::os_error, saved_errno});
    }
    return failure(message + gai_strerror(code), FailureCause{FailureCause::Kind::lookup_error, code});
}

std::optional<SocketAddress> with_port(const addrinfo& entry, std::uint16_t port) noexcept {
    auto address = SocketAddress::from_sockaddr(entry.ai_addr, entry.ai_addrlen);
    if (!address) return std::nullopt;
    if (address->is_ipv4()) {
        sockaddr_in v4 = *address->ipv4();
        v4.sin_port = htons(port);
        return SocketAddress(v4);
    }
    sockaddr_in6 v6 = *address->ipv6();
    v6.sin6_port = htons(port);
    return SocketAddress(v6);
}

// The resolver thread's blocking step: split "host:port" at the last ':' and
// ask getaddrinfo for the host (any family, stream sockets).
ResolveOutcome lookup_host_port(const std::string& endpoint) {
    const std::string_view text = endpoint;
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::unexpected(failure("invalid socket address"));
    const auto port = parse_lookup_port(text.substr(colon + 1));
    if (!port) return std::unexpected(failure("invalid port value"));
    const std::string host(text.substr(0, colon));
    if (host.find('\0') != std::string::npos) {
        return std::unexpected(failure("file name contained an unexpected NUL byte"));
    }

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    errno = 0;
    const int code = getaddrinfo(host.c_str(), nullptr, &hints, &list);
    const int saved_errno = errno;
    if (code != 0) return std::unexpected(lookup_failure(code, saved_errno));
    const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owned(list, &freeaddrinfo);

    // The first address in the system's order, whatever its family.
    for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
        if (auto address = with_port(*entry, *port)) return address;
    }
    return std::optional<SocketAddress>{};
}

// Everything the resolver thread touches is owned here, so a caller that
// stops waiting leaves nothing behind that the thread still needs.
struct ResolverTask {
    std::string endpoint;
    ResultSender<ResolveOutcome> sender;
    ResolverSlot slot;
};

void* resolver_thread_main(void* argument) noexcept {
    std::unique_ptr<ResolverTask> task(static_cast<ResolverTask*>(argument));
    // Named from inside: a detached thread's handle may already be stale by
    // the time its creator could use it.
    pthread_setname_np(pthread_self(), kResolverThreadName);
    try {
        ResolveOutcome outcome = lookup_host_port(task->endpoint);
        // Free the slot first, so a caller holding the outcome already sees it free.
        task->slot.release();
        task->sender.send(std::move(outcome));
    } catch (...) {
        // Out of memory: the task's release closes the channel, and the
        // caller reports a resolver that stopped instead of the process ending.
    }
    return nullptr;
}

// Starts the detached resolver thread, which takes ownership of `task` on
// success. Returns 0 or the error number.
int start_resolver_thread(ResolverTask* task) noexcept {
    pthread_attr_t attributes;
    if (const int error = pthread_attr_init(&attributes); error != 0) return error;
    int error = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (error == 0) {
        // Signals stay with the caller's threads: the new thread starts with
        // every signal blocked, then the caller's mask is restored.
        sigset_t all;
        sigset_t previous;
        sigfillset(&all);
        const bool masked = pthread_sigmask(SIG_SETMASK, &all, &previous) == 0;
        pthread_t thread;
        error = pthread_create(&thread, &attributes, resolver_thread_main, task);
        if (masked) pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    pthread_attr_destroy(&attributes);
    return error;
}

}  // namespace

std::optional<std::uint16_t> parse_lookup_port(std::string_view text) noexcept {
    if (text.starts_with('+')) text.remove_prefix(1);
    return parse_port_number(text);
}

ResolveOutcome resolve_endpoint(std::string endpoint, Duration remaining) {
    if (remaining.is_zero()) return std::unexpected(failure("overall deadline expired before endpoint resolution"));
    // Fixed now, so the time spent starting the thread counts against it too.
    const Instant deadline = checked_add(Clock::now(), remaining).value_or(Instant::max());

    if (auto literal = parse_socket_address_literal(endpoint)) return *literal;

    auto slot = ResolverSlot::reserve_until(deadline);
    if (!slot) {
        return std::unexpected(failure("endpoint resolver capacity exhausted (" + std::to_string(RESOLVER_WORKER_LIMIT) +
                                       " workers)"));
    }
    auto [sender, receiver] = make_result_channel<ResolveOutcome>();
    auto task = std::make_unique<ResolverTask>(
        ResolverTask{std::move(endpoint), std::move(sender), std::move(*slot)});
    if (const int error = start_resolver_thread(task.get()); error != 0) {
        // The task, and with it the slot, is released on the way out.
        return std::unexpected(failure("could not start endpoint resolver: " + os_error_text(error),
                                       FailureCause{FailureCause::Kind::os_error, error}));
    }
    static_cast<void>(task.release());  // the thread owns it now

    auto received = receiver.receive_until(deadline);
    if (received) return std::move(*received);
    if (received.error() == ReceiveFailure::timed_out) {
        return std::unexpected(failure("endpoint resolution exceeded the overall deadline"));
    }
    return std::unexpected(failure("endpoint resolver stopped unexpectedly"));
}

}  // namespace quorlin
