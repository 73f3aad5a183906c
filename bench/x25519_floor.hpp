#pragma once
// The cryptographic floor of a handshake: what libsodium's X25519 costs on
// this machine, called directly, so that a handshake or a whole probe can be
// set against it in the same run.
//
// An initiator's handshake needs four Diffie-Hellman results (es, ss, ee, se)
// and one fresh ephemeral public key. Our engine computes ss once per tunnel,
// so a repeated handshake on one tunnel does one base-point multiplication
// and three DH; a probe builds a new tunnel and pays for ss each time (and
// for the client's public key, derived once when its key is loaded).

#include <sodium.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench_stats.hpp"
#include "common/clock.hpp"
#include "common/random.hpp"
#include "common/secret.hpp"

namespace quorlin::bench {

struct X25519Cost {
    double scalarmult_us = 0;       // crypto_scalarmult: one DH
    double scalarmult_base_us = 0;  // crypto_scalarmult_base: a public key from a private one

    // es, ss, ee, se: the four DH of one initiator handshake.
    double four_dh_us() const { return 4 * scalarmult_us; }
    // What a probe cannot avoid: two public keys (the client's static one,
    // derived once from its private key, and the handshake's ephemeral one)
    // and the four DH.
    double probe_floor_us() const { return 2 * scalarmult_base_us + four_dh_us(); }
};

// Median time of single calls: each call is short enough that most of them
// run without losing the CPU, so the median is the cost on an idle core even
// while other processes keep the machine busy.
inline X25519Cost measure_x25519(std::size_t calls) {
    if (sodium_init() < 0) {
        std::fprintf(stderr, "libsodium failed to initialise\n");
        std::exit(1);
    }
    SecretArray<32> scalar;
    fill_random(scalar.span());
    unsigned char point[32];
    unsigned char out[32];
    crypto_scalarmult_base(point, scalar.data());

    std::vector<double> dh_us;
    std::vector<double> base_us;
    for (std::size_t i = 0; i < calls; ++i) {
        // Each result feeds the next call, so no call can be skipped.
        Instant start = Clock::now();
        const int refused = crypto_scalarmult(out, scalar.data(), point);
        dh_us.push_back(us_between(start, Clock::now()));
        if (refused == 0) std::copy(out, out + 32, point);

        start = Clock::now();
        crypto_scalarmult_base(out, scalar.data());
        base_us.push_back(us_between(start, Clock::now()));
        scalar.data()[i % 32] ^= out[0];
    }
    sodium_memzero(out, sizeof out);
    return X25519Cost{summarize(dh_us).median, summarize(base_us).median};
}

inline void print_x25519_cost(const X25519Cost& cost) {
    std::printf("  %-50s median %9.3f us per call\n", "crypto_scalarmult (one DH)", cost.scalarmult_us);
    std::printf("  %-50s median %9.3f us per call\n", "crypto_scalarmult_base (a public key)", cost.scalarmult_base_us);
    std::printf("  %-50s        %9.3f us\n", "4 DH (es, ss, ee, se): the handshake's floor", cost.four_dh_us());
    std::printf("  %-50s        %9.3f us\n", "2 public keys + 4 DH: a probe's floor", cost.probe_floor_us());
}

}  // namespace quorlin::bench
