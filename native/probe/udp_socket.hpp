#pragma once
// The probe's one UDP socket: bound to the unspecified address of the
// endpoint's family, connected to the endpoint, with every send and receive
// bounded by a deadline through the socket time-outs.

#include "common/clock.hpp"
#include "common/socket_address.hpp"

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace quorlin {

// Largest UDP payload: no datagram is ever truncated.
inline constexpr std::size_t kDatagramBufferBytes = 65535;

// A datagram-sized buffer left uninitialised: only the bytes a call writes are
// ever read, and zeroing 64 KiB per buffer is a measurable share of a probe.
class DatagramBuffer {
public:
    DatagramBuffer() : bytes_(std::make_unique_for_overwrite<std::uint8_t[]>(kDatagramBufferBytes)) {}
    std::span<std::uint8_t> span() noexcept { return {bytes_.get(), kDatagramBufferBytes}; }
    std::uint8_t* data() noexcept { return bytes_.get(); }

private:
    std::unique_ptr<std::uint8_t[]> bytes_;
};

class UdpSocket {
public:
    explicit UdpSocket(int fd) noexcept : fd_(fd) {}
    UdpSocket(UdpSocket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    UdpSocket& operator=(UdpSocket&& other) noexcept;
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;
    ~UdpSocket() { close(); }

    int fd() const noexcept { return fd_; }
    void close() noexcept;

private:
    int fd_ = -1;
};

// Socket creation for the `socket` phase: close-on-exec, bound to 0.0.0.0:0 or
// [::]:0, connected to `endpoint`. The error is the system error number.
std::expected<UdpSocket, int> open_probe_socket(const SocketAddress& endpoint);

// From now on every datagram goes out with the don't-fragment bit and is
// never cut to the path MTU the kernel has cached (IP_PMTUDISC_PROBE, or its
// IPv6 counterpart): one too large for the local interface fails with
// EMSGSIZE. `family` is the endpoint's. 0, or the system error number.
int send_unfragmented(const UdpSocket& socket, int family);

// getsockname; absent when it cannot be read.
std::optional<SocketAddress> local_address(const UdpSocket& socket);

struct IoOutcome {
    enum class Kind { done, deadline, failed };
    Kind kind;
    std::size_t bytes = 0;   // done: bytes sent or datagram size
    std::string error_text;  // failed: system error text
    int error_number = 0;    // failed: the errno behind it

    static IoOutcome done(std::size_t n) { return {Kind::done, n, {}, 0}; }
    static IoOutcome expired() { return {Kind::deadline, 0, {}, 0}; }
    static IoOutcome failed(int error_number);
};

// One datagram on the connected socket, at most until `deadline`. A call
// interrupted by a signal is retried with the time that remains.
IoOutcome send(UdpSocket& socket, std::span<const std::uint8_t> bytes, Instant deadline);
// One datagram into `buffer` (65535 bytes), at most until `deadline`.
IoOutcome recv(UdpSocket& socket, std::span<std::uint8_t> buffer, Instant deadline);

}  // namespace quorlin
