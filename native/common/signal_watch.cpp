#include "common/signal_watch.hpp"

#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace quorlin {

namespace {

sigset_t signal_set(std::initializer_list<int> signals) noexcept {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : signals) sigaddset(&set, signal);
    return set;
}

int watch_fd(std::initializer_list<int> signals) noexcept {
    const sigset_t set = signal_set(signals);
    return ::signalfd(-1, &set, SFD_CLOEXEC);
}

}  // namespace

void block_signals(std::initializer_list<int> signals) noexcept {
    const sigset_t set = signal_set(signals);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

SignalWatch::SignalWatch(std::initializer_list<int> signals) noexcept : fd_(watch_fd(signals)) {}

int SignalWatch::next() const noexcept {
    signalfd_siginfo info{};
    for (;;) {
        const ssize_t got = ::read(fd_.get(), &info, sizeof info);
        if (got == static_cast<ssize_t>(sizeof info)) return static_cast<int>(info.ssi_signo);
        if (got < 0 && errno == EINTR) continue;
        return 0;
    }
}

}  // namespace quorlin
