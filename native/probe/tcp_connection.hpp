#pragma once
// One small TCP client connection inside the tunnel, for what runs over a
// stream (TLS, HTTP): the handshake, in-order receive with early segments held
// until the gap fills, sending within the peer's window, retransmission on
// RFC 6298's timer, and a reset at the end so the server frees its side at
// once. Pure protocol over an InnerLink; every wait ends by its deadline.
//
// Decisions: the receive window is one fixed buffer of 65535 bytes (no window
// scaling); the peer's SYN-ACK is acknowledged by the first segment sent
// after it (data from send(), a plain ACK when receive() starts), so a
// connection that only checks the port and closes sends SYN and RST alone; no
// FIN is ever sent, close() resets.

#include "common/clock.hpp"
#include "config/ip_address.hpp"
#include "packet/tcp.hpp"
#include "probe/inner_link.hpp"
#include "probe/plan.hpp"
#include "probe/tcp_receive_buffer.hpp"
#include "probe/tcp_retransmission_timer.hpp"
#include "probe/tcp_send_queue.hpp"

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quorlin {

// The most a connection takes from the server in all; past it, it resets.
inline constexpr std::uint64_t tcp_receive_limit_bytes = 256 * 1024;
// The MSS assumed when the SYN-ACK announces none.
inline constexpr std::uint16_t tcp_default_mss = 536;

struct TcpFailure {
    enum class Kind : std::uint8_t { refused, no_answer, reset, too_much_data, local_error };
    Kind kind;
    std::string detail;  // plain words, e.g. "reset by the server after 1234 bytes"
};

class TcpConnection {
public:
    TcpConnection(InnerLink& link, Ipv4Address source, TcpTarget target, std::uint16_t mss);
    // Closes the connection if the caller has not.
    ~TcpConnection();
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    // SYN (random ISN, random source port 32768..60999, MSS option = mss),
    // resent after max(1 s, 1.5 x path_round_trip) and then twice as long each
    // time, until a SYN-ACK (the connection is open), a RST that acknowledges
    // the SYN (refused) or `deadline` (no_answer). Returns the round trip from
    // the last SYN sent to the SYN-ACK. After no_answer, open() again resumes
    // the same attempt (same SYN, same timer) until its new deadline.
    std::expected<Clock::duration, TcpFailure> open(Instant deadline, Clock::duration path_round_trip);
    // Queues `data` and sends what the peer's window allows, in segments of at
    // most the peer's MSS and ours; never waits for acknowledgement (receive()
    // retransmits on its timer). Error only on a local failure or a connection
    // already ended.
    std::expected<void, TcpFailure> send(std::span<const std::uint8_t> data, Instant deadline);
    // Waits until in-order data is available (copies up to out.size() bytes,
    // returns the count), the peer's FIN (returns 0, and 0 again after), a
    // reset, or `deadline` (no_answer). Data received before a reset or the
    // receive limit is returned first, the failure after it. While waiting it
    // acknowledges every segment that carries data, answers an out-of-order
    // one with a duplicate ACK (holding its bytes), and retransmits our
    // unacknowledged data on its timer.
    std::expected<std::size_t, TcpFailure> receive(std::span<std::uint8_t> out, Instant deadline);
    // Whether receive() would return at once: data or FIN buffered, a failure
    // to report, or no open connection.
    bool readable() const noexcept;
    // A reset at the sequence number the server expects, one send bounded by
    // a short limit; nothing when the connection never opened or already
    // ended. Safe to call twice.
    void close() noexcept;

    std::uint64_t payload_bytes_received() const noexcept { return receive_ ? receive_->next() : 0; }
    // SYNs sent so far, resends included.
    std::uint32_t syns_sent() const noexcept { return syns_sent_; }
    // From the last SYN sent to the SYN-ACK or RST that answered it.
    std::optional<Clock::duration> syn_round_trip() const noexcept { return syn_round_trip_; }

private:
    enum class State : std::uint8_t { idle, syn_sent, open, ended };

    TcpFailure fail(TcpFailure::Kind kind, std::string detail);
    std::expected<void, TcpFailure> send_syn(Instant deadline);
    void established(const TcpHeader& syn_ack, Instant now);
    std::expected<void, TcpFailure> emit(std::uint32_t sequence, std::uint8_t flags,
                                         std::span<const std::uint8_t> payload, Instant until);
    std::expected<void, TcpFailure> acknowledge(Instant until);
    void reset_now() noexcept;
    std::expected<void, TcpFailure> transmit(Instant until);
    std::expected<void, TcpFailure> retransmit(Instant until, bool back_off);
    std::expected<void, TcpFailure> on_packet(std::span<const std::uint8_t> packet, Instant until);
    void on_acknowledged(Instant now);
    std::uint32_t receive_next() const noexcept;
    std::uint16_t window_to_advertise() noexcept;
    std::size_t max_segment() const noexcept;

    InnerLink& link_;
    const Ipv4Address source_;
    const TcpTarget target_;
    const std::uint16_t mss_;
    State state_ = State::idle;
    bool closed_ = false;
    std::optional<TcpFailure> failure_;

    // The handshake.
    std::uint16_t source_port_ = 0;
    std::uint32_t initial_sequence_ = 0;
    std::uint16_t ip_identification_ = 0;
    std::vector<std::uint8_t> syn_packet_;
    std::uint32_t syns_sent_ = 0;
    Instant last_syn_{};
    Instant next_syn_{};
    Clock::duration syn_interval_{};
    int syn_backoff_ = 1;
    std::uint64_t sessions_seen_ = 0;
    std::optional<Clock::duration> syn_round_trip_;

    // The open connection.
    std::uint32_t peer_initial_sequence_ = 0;
    std::uint16_t peer_mss_ = tcp_default_mss;
    bool ack_owed_ = false;
    std::optional<TcpSendQueue> send_;
    std::optional<TcpReceiveBuffer> receive_;
    std::uint64_t advertised_edge_ = 0;  // stream offset the last window reached
    TcpRetransmissionTimer timer_;
    struct Timed {
        std::uint64_t end_offset;
        Instant sent;
    };
    std::optional<Timed> timed_;  // the one segment being timed, never a retransmitted one
};

}  // namespace quorlin
