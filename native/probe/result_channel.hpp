#pragma once
// A channel that carries one value from one sender to one receiver. Either end
// may go away first: a value sent after the receiver has gone is dropped, and
// a receiver learns when the sender went away without sending. Both ends share
// the state, so whichever outlives the other keeps it alive.

#include <condition_variable>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "common/clock.hpp"

namespace quorlin {

enum class ReceiveFailure { timed_out, sender_gone };

namespace detail {
template <typename T>
struct ResultChannelState {
    std::mutex mutex;
    std::condition_variable ready;
    std::optional<T> value;
    bool sender_open = true;
    bool receiver_open = true;
};
}  // namespace detail

template <typename T>
class ResultSender {
public:
    explicit ResultSender(std::shared_ptr<detail::ResultChannelState<T>> state) noexcept : state_(std::move(state)) {}
    ResultSender(ResultSender&&) noexcept = default;
    ~ResultSender() { close(); }

    // Hands the value over without waiting (there is room for exactly one).
    // Returns false, dropping the value, when the receiver has gone or a
    // value was already sent.
    bool send(T value) {
        if (!state_) return false;
        {
            std::lock_guard lock(state_->mutex);
            if (!state_->receiver_open || state_->value.has_value()) return false;
            state_->value.emplace(std::move(value));
        }
        state_->ready.notify_one();
        return true;
    }

private:
    void close() noexcept {
        if (!state_) return;
        {
            std::lock_guard lock(state_->mutex);
            state_->sender_open = false;
        }
        state_->ready.notify_one();
        state_.reset();
    }

    std::shared_ptr<detail::ResultChannelState<T>> state_;
};

template <typename T>
class ResultReceiver {
public:
    explicit ResultReceiver(std::shared_ptr<detail::ResultChannelState<T>> state) noexcept : state_(std::move(state)) {}
    ResultReceiver(ResultReceiver&&) noexcept = default;
    ~ResultReceiver() { close(); }

    // Waits until a value arrives, the sender goes away, or `deadline` passes.
    // A value that is already there is returned even after the deadline.
    std::expected<T, ReceiveFailure> receive_until(Instant deadline) {
        if (!state_) return std::unexpected(ReceiveFailure::sender_gone);
        std::unique_lock lock(state_->mutex);
        const bool settled = state_->ready.wait_until(
            lock, deadline, [this] { return state_->value.has_value() || !state_->sender_open; });
        if (state_->value.has_value()) {
            T value = std::move(*state_->value);
            state_->value.reset();
            return value;
        }
        return std::unexpected(settled ? ReceiveFailure::sender_gone : ReceiveFailure::timed_out);
    }

private:
    void close() noexcept {
        if (!state_) return;
        {
            std::lock_guard lock(state_->mutex);
            state_->receiver_open = false;
            // A value nobody will read is released here rather than by the sender.
            state_->value.reset();
        }
        state_.reset();
    }

    std::shared_ptr<detail::ResultChannelState<T>> state_;
};

template <typename T>
std::pair<ResultSender<T>, ResultReceiver<T>> make_result_channel() {
    auto state = std::make_shared<detail::ResultChannelState<T>>();
    return {ResultSender<T>(state), ResultReceiver<T>(std::move(state))};
}

}  // namespace quorlin
