#include "probe/tcp_connection.hpp"

#include "common/random.hpp"
#include "probe/tcp_sequence.hpp"

#include <algorithm>

namespace quorlin {

namespace {

using namespace tcp_sequence;
using Kind = TcpFailure::Kind;

// Source ports, as for DNS queries: 32768 to 60999.
constexpr std::uint32_t source_port_base = 32768;
constexpr std::uint32_t source_port_span = 28232;
// SYN resends double up to this many times the first interval (a minute
// over the usual 1 s start).
constexpr int max_syn_backoff = 64;
// A datagram send does not wait on the path; this only bounds a full buffer
// for the last words of a connection (a reset).
constexpr std::chrono::milliseconds reset_send_limit{100};

std::string milliseconds(Clock::duration span) {
    return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(span).count()) + " ms";
}

std::string plural(std::uint64_t count, std::string_view one, std::string_view many) {
    return std::to_string(count) + " " + std::string(count == 1 ? one : many);
}

}  // namespace

TcpConnection::TcpConnection(InnerLink& link, Ipv4Address source, TcpTarget target, std::uint16_t mss)
    : link_(link), source_(source), target_(target), mss_(std::max<std::uint16_t>(mss, 1)) {}

TcpConnection::~TcpConnection() { close(); }

TcpFailure TcpConnection::fail(Kind kind, std::string detail) {
    if (!failure_) failure_ = TcpFailure{kind, std::move(detail)};
    return *failure_;
}

// ---------------------------------------------------------------- the handshake

std::expected<Clock::duration, TcpFailure> TcpConnection::open(Instant deadline, Clock::duration path_round_trip) {
    if (failure_) return std::unexpected(*failure_);
    if (closed_) return std::unexpected(TcpFailure{Kind::local_error, "the connection was closed"});
    if (state_ == State::open) return *syn_round_trip_;
    if (state_ == State::idle) {
        if (link_.now() >= deadline) return std::unexpected(TcpFailure{Kind::no_answer, "no SYN sent: the deadline had passed"});
        source_port_ = static_cast<std::uint16_t>(source_port_base + random_u32() % source_port_span);
        initial_sequence_ = random_u32();
        ip_identification_ = static_cast<std::uint16_t>(random_u32());
        TcpHeader syn;
        syn.source_port = source_port_;
        syn.destination_port = target_.port;
        syn.sequence = initial_sequence_;
        syn.flags = tcp_flag::syn;
        syn.window = static_cast<std::uint16_t>(TcpReceiveBuffer::capacity);
        syn.mss = mss_;
        // Every resend is this same packet.
        syn_packet_ = tcp_packet(source_.octets, target_.address.octets, ip_identification_++, syn);
        syn_interval_ = std::max<Clock::duration>(tcp_initial_retransmission_timeout, path_round_trip * 3 / 2);
        sessions_seen_ = link_.new_sessions();
        state_ = State::syn_sent;
        if (auto sent = send_syn(deadline); !sent) return std::unexpected(sent.error());
    }
    for (;;) {
        const Instant now = link_.now();
        if (now >= deadline) {
            return std::unexpected(TcpFailure{Kind::no_answer, "no SYN-ACK or RST to " + plural(syns_sent_, "SYN", "SYNs")});
        }
        if (now >= next_syn_) {
            if (auto sent = send_syn(deadline); !sent) return std::unexpected(sent.error());
            continue;
        }
        auto got = link_.receive(std::min(deadline, next_syn_));
        if (!got) return std::unexpected(fail(Kind::local_error, std::move(got.error())));
        if (link_.new_sessions() != sessions_seen_) {
            // The peer dropped what came on the session it replaced.
            sessions_seen_ = link_.new_sessions();
            if (auto sent = send_syn(deadline); !sent) return std::unexpected(sent.error());
        }
        if (!*got) continue;
        const auto segment = read_tcp(**got, target_.address.octets, source_.octets);
        if (!segment) continue;
        const TcpHeader& header = segment->header;
        if (header.source_port != target_.port || header.destination_port != source_port_) continue;
        // Only an answer that acknowledges our SYN is for this connection.
        if (!header.has(tcp_flag::ack) || header.acknowledgment != initial_sequence_ + 1) continue;
        if (header.has(tcp_flag::rst)) {
            syn_round_trip_ = link_.now() - last_syn_;
            state_ = State::ended;
            return std::unexpected(fail(Kind::refused, "connection refused (RST)"));
        }
        if (!header.has(tcp_flag::syn)) continue;
        established(header, link_.now());
        return *syn_round_trip_;
    }
}

std::expected<void, TcpFailure> TcpConnection::send_syn(Instant deadline) {
    auto sent = link_.send(syn_packet_, deadline);
    const Instant now = link_.now();
    if (sent) {
        ++syns_sent_;
        last_syn_ = now;
    } else if (now < deadline) {
        return std::unexpected(fail(Kind::local_error, std::move(sent.error())));
    }
    // A SYN the deadline stopped is as good as lost; the wait ends anyway.
    next_syn_ = now + syn_interval_ * syn_backoff_;
    if (syn_backoff_ < max_syn_backoff) syn_backoff_ *= 2;
    return {};
}

void TcpConnection::established(const TcpHeader& syn_ack, Instant now) {
    syn_round_trip_ = now - last_syn_;
    peer_initial_sequence_ = syn_ack.sequence;
    peer_mss_ = std::max<std::uint16_t>(syn_ack.mss.value_or(tcp_default_mss), 1);
    send_.emplace(initial_sequence_, syn_ack.window, syn_ack.sequence, syn_ack.acknowledgment);
    receive_.emplace(tcp_receive_limit_bytes);
    advertised_edge_ = TcpReceiveBuffer::capacity;
    // A resent SYN makes its round trip ambiguous: no sample then.
    if (syns_sent_ == 1) {
        timer_.sample(*syn_round_trip_);
    } else {
        timer_.after_syn_retransmission();
    }
    state_ = State::open;
    ack_owed_ = true;
}

// ---------------------------------------------------------------- segments out

std::uint32_t TcpConnection::receive_next() const noexcept {
    return static_cast<std::uint32_t>(peer_initial_sequence_ + 1 + receive_->next() + (receive_->fin_received() ? 1 : 0));
}

// The window's right edge moves on only by a useful step (half the buffer or
// a segment), so the server is never invited to send slivers.
std::uint16_t TcpConnection::window_to_advertise() noexcept {
    const std::uint64_t room_edge = receive_->next() + receive_->window();
    const std::uint64_t step = std::min<std::uint64_t>(TcpReceiveBuffer::capacity / 2, mss_);
    if (room_edge >= advertised_edge_ + step) advertised_edge_ = room_edge;
    return static_cast<std::uint16_t>(advertised_edge_ - receive_->next());
}

std::size_t TcpConnection::max_segment() const noexcept { return std::min(peer_mss_, mss_); }

std::expected<void, TcpFailure> TcpConnection::emit(std::uint32_t sequence, std::uint8_t flags,
                                                    std::span<const std::uint8_t> payload, Instant until) {
    TcpHeader header;
    header.source_port = source_port_;
    header.destination_port = target_.port;
    header.sequence = sequence;
    header.acknowledgment = receive_next();
    header.flags = static_cast<std::uint8_t>(flags | tcp_flag::ack);
    header.window = window_to_advertise();
    const auto sent =
        link_.send(tcp_packet(source_.octets, target_.address.octets, ip_identification_++, header, payload), until);
    if (sent) {
        ack_owed_ = false;
    } else if (link_.now() < until) {
        return std::unexpected(fail(Kind::local_error, sent.error()));
    }
    // A segment the deadline stopped is as good as lost: the timers resend it.
    return {};
}

std::expected<void, TcpFailure> TcpConnection::acknowledge(Instant until) {
    return emit(send_->next_sequence(), 0, {}, until);
}

// Ends the connection on the wire at once (RFC 9293's abort: a reset at the
// next sequence number, nothing acknowledged).
void TcpConnection::reset_now() noexcept {
    TcpHeader reset;
    reset.source_port = source_port_;
    reset.destination_port = target_.port;
    reset.sequence = send_->next_sequence();
    reset.flags = tcp_flag::rst;
    (void)link_.send(tcp_packet(source_.octets, target_.address.octets, ip_identification_++, reset),
                     link_.now() + reset_send_limit);
    state_ = State::ended;
}

std::expected<void, TcpFailure> TcpConnection::transmit(Instant until) {
    while (auto segment = send_->next_segment(max_segment())) {
        const Instant now = link_.now();
        const std::uint8_t flags = send_->unsent() ? 0 : tcp_flag::psh;
        if (auto sent = emit(segment->sequence, flags, segment->bytes, until); !sent) return sent;
        if (!timed_) timed_ = Timed{send_->next_offset(), now};
        if (!timer_.expiry()) timer_.start(now);
    }
    // A closed window is probed on the same timer.
    if (!send_->in_flight() && send_->unsent() && !timer_.expiry()) timer_.start(link_.now());
    return {};
}

std::expected<void, TcpFailure> TcpConnection::retransmit(Instant until, bool back_off) {
    auto segment = send_->retransmission(max_segment());
    if (!segment) {
        timer_.stop();
        return {};
    }
    timed_.reset();
    if (back_off) timer_.back_off();
    timer_.start(link_.now());
    return emit(segment->sequence, 0, segment->bytes, until);
}

// ---------------------------------------------------------------- the open connection

std::expected<void, TcpFailure> TcpConnection::send(std::span<const std::uint8_t> data, Instant deadline) {
    if (failure_) return std::unexpected(*failure_);
    if (closed_) return std::unexpected(TcpFailure{Kind::local_error, "the connection was closed"});
    if (state_ != State::open) return std::unexpected(TcpFailure{Kind::local_error, "the connection is not open"});
    send_->push(data);
    return transmit(deadline);
}

std::expected<std::size_t, TcpFailure> TcpConnection::receive(std::span<std::uint8_t> out, Instant deadline) {
    if (out.empty()) return std::unexpected(TcpFailure{Kind::local_error, "no room to receive into"});
    if (closed_) return std::unexpected(TcpFailure{Kind::local_error, "the connection was closed"});
    if (!receive_) {
        if (failure_) return std::unexpected(*failure_);
        return std::unexpected(TcpFailure{Kind::local_error, "the connection is not open"});
    }
    const Instant start = link_.now();
    if (state_ == State::open && !failure_ && ack_owed_) {
        if (auto sent = acknowledge(deadline); !sent) return std::unexpected(sent.error());
    }
    for (;;) {
        if (receive_->readable() > 0) return receive_->read(out);
        if (receive_->fin_received()) return 0;
        if (failure_) return std::unexpected(*failure_);
        const Instant now = link_.now();
        if (now >= deadline) {
            return std::unexpected(TcpFailure{Kind::no_answer, "no data after " + plural(receive_->next(), "byte", "bytes") +
                                                                   " for " + milliseconds(now - start)});
        }
        if (timer_.expired(now)) {
            if (auto sent = retransmit(deadline, true); !sent) return std::unexpected(sent.error());
            continue;
        }
        // The reader made room: say so, or a server facing a closed window waits.
        if (receive_->next() + receive_->window() >=
            advertised_edge_ + std::min<std::uint64_t>(TcpReceiveBuffer::capacity / 2, mss_)) {
            if (auto sent = acknowledge(deadline); !sent) return std::unexpected(sent.error());
        }
        auto got = link_.receive(timer_.expiry() ? std::min(deadline, *timer_.expiry()) : deadline);
        if (!got) return std::unexpected(fail(Kind::local_error, std::move(got.error())));
        if (link_.new_sessions() != sessions_seen_) {
            // What was in flight went on a session the peer had replaced.
            sessions_seen_ = link_.new_sessions();
            if (send_->in_flight()) {
                if (auto sent = retransmit(deadline, false); !sent) return std::unexpected(sent.error());
            }
        }
        if (*got) {
            if (auto handled = on_packet(**got, deadline); !handled) return std::unexpected(handled.error());
        }
    }
}

void TcpConnection::on_acknowledged(Instant now) {
    if (timed_ && send_->unacknowledged_offset() >= timed_->end_offset) {
        timer_.sample(now - timed_->sent);
        timed_.reset();
    }
    if (send_->in_flight()) {
        timer_.start(now);
    } else {
        timer_.stop();
    }
}

// One segment on the open connection, in the order RFC 9293 checks it:
// sequence number, reset, SYN, acknowledgment, then its data and FIN.
std::expected<void, TcpFailure> TcpConnection::on_packet(std::span<const std::uint8_t> packet, Instant until) {
    const auto segment = read_tcp(packet, target_.address.octets, source_.octets);
    if (!segment) return {};
    const TcpHeader& header = segment->header;
    if (header.source_port != target_.port || header.destination_port != source_port_) return {};
    if (state_ != State::open) return {};

    const std::uint32_t next = receive_next();
    const std::uint32_t window = receive_->window();
    if (header.has(tcp_flag::rst)) {
        // Only a reset at exactly the next sequence number ends the
        // connection; one elsewhere in the window gets a challenge ACK, so a
        // blind guess cannot end it.
        if (header.sequence == next) {
            state_ = State::ended;
            fail(Kind::reset, "reset by the server after " + plural(receive_->next(), "byte", "bytes"));
            return {};
        }
        if (at_or_before(next, header.sequence) && before(header.sequence, next + std::max<std::uint32_t>(window, 1))) {
            return acknowledge(until);
        }
        return {};
    }
    const bool fin = header.has(tcp_flag::fin);
    const auto length = static_cast<std::uint32_t>(segment->payload.size() + (fin ? 1 : 0) +
                                                   (header.has(tcp_flag::syn) ? 1 : 0));
    // A repeat of what we have (its ACK was lost), or a segment past the
    // window: our ACK says where we are.
    if (!acceptable(header.sequence, length, next, window)) return acknowledge(until);
    if (header.has(tcp_flag::syn)) return acknowledge(until);
    if (!header.has(tcp_flag::ack)) return {};
    switch (send_->acknowledge(header.sequence, header.acknowledgment, header.window)) {
        case TcpSendQueue::Ack::not_sent:
        case TcpSendQueue::Ack::too_old:
            return acknowledge(until);
        case TcpSendQueue::Ack::advanced:
            on_acknowledged(link_.now());
            break;
        case TcpSendQueue::Ack::not_new:
            break;
    }
    if (!segment->payload.empty() || fin) {
        const std::uint32_t data_next = static_cast<std::uint32_t>(peer_initial_sequence_ + 1 + receive_->next());
        const std::int64_t offset = static_cast<std::int64_t>(receive_->next()) + distance(data_next, header.sequence);
        if (receive_->place(offset, segment->payload, fin)) {
            reset_now();
            fail(Kind::too_much_data, "more than " + std::to_string(tcp_receive_limit_bytes) +
                                          " bytes received, connection reset");
            return {};
        }
        if (auto sent = acknowledge(until); !sent) return sent;
    }
    // An acknowledgment or a wider window may let queued data go.
    return transmit(until);
}

bool TcpConnection::readable() const noexcept {
    if (state_ != State::open || closed_ || failure_ || !receive_) return true;
    return receive_->readable() > 0 || receive_->fin_received();
}

void TcpConnection::close() noexcept {
    if (state_ == State::open) reset_now();
    if (state_ == State::syn_sent || state_ == State::idle) state_ = State::ended;
    closed_ = true;
}

}  // namespace quorlin
