#pragma once
// Signals taken as events on a descriptor (signalfd) rather than by handlers:
// the signals are blocked in every thread, so that only the watcher's reads
// take them. Block them before any thread exists: threads inherit the mask.

#include "common/owned_fd.hpp"

#include <initializer_list>

namespace quorlin {

// Blocks `signals` in the calling thread and in every thread it starts afterwards.
void block_signals(std::initializer_list<int> signals) noexcept;

class SignalWatch {
public:
    // Watches `signals` (blocked beforehand); fd() is negative when the
    // signalfd could not be made, errno telling why.
    explicit SignalWatch(std::initializer_list<int> signals) noexcept;

    // Readable when a watched signal is pending.
    int fd() const noexcept { return fd_.get(); }

    // The next watched signal, waiting for one unless the descriptor is
    // known to be readable; 0 when reading failed (errno set).
    int next() const noexcept;

private:
    OwnedFd fd_;
};

}  // namespace quorlin
