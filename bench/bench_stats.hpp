#pragma once
// Order statistics, time readings and printing shared by the benchmarks.
// Figures only: nothing here compares a time against a limit.

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <vector>

#include "common/clock.hpp"

namespace quorlin::bench {

struct Summary {
    std::size_t count = 0;
    double median = 0;
    double p90 = 0;
    double p99 = 0;
    double max = 0;
};

// Nearest-rank percentile of sorted values: the smallest value with at least
// the fraction `q` of all values at or below it.
inline double percentile(const std::vector<double>& sorted, double q) {
    if (sorted.empty()) return 0;
    const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

inline Summary summarize(std::vector<double> values) {
    Summary s;
    s.count = values.size();
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    s.median = percentile(values, 0.5);
    s.p90 = percentile(values, 0.9);
    s.p99 = percentile(values, 0.99);
    s.max = values.back();
    return s;
}

inline double ms_between(Instant start, Instant end) {
    return std::chrono::duration<double, std::milli>(end - start).count();
}
inline double us_between(Instant start, Instant end) {
    return std::chrono::duration<double, std::micro>(end - start).count();
}

// CPU time used so far by every thread of this process, in seconds.
inline double process_cpu_seconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The user-space share of it: the probe's own instructions, without the
// kernel's work on its socket calls (which the floor leaves out too).
inline double process_user_cpu_seconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec) + static_cast<double>(usage.ru_utime.tv_usec) * 1e-6;
}

// One line: median, p90, p99 and max in `unit`, then the sample count. A p99
// over fewer than 100 samples is close to the max; the count says so.
inline void print_summary(const char* what, const Summary& s, const char* unit) {
    std::printf("  %-50s median %9.3f %s  p90 %9.3f %s  p99 %9.3f %s  max %9.3f %s  (%zu samples)\n", what,
                s.median, unit, s.p90, unit, s.p99, unit, s.max, unit, s.count);
}

inline void print_ratio(const char* what, double numerator, double denominator) {
    if (denominator > 0) std::printf("  %-50s %9.2f\n", what, numerator / denominator);
    else std::printf("  %-50s %9s\n", what, "n/a");
}

// Every benchmark's options, so that scripts/bench.sh can hand the same
// arguments to each; each benchmark reads the ones it uses.
inline constexpr const char* bench_options[] = {"--probes", "--samples", "--handshakes", "--packets"};

// Ends the program with a message unless the arguments are `--option N`
// pairs of known options with positive whole numbers.
inline void check_arguments(int argc, char** argv) {
    for (int i = 1; i < argc; i += 2) {
        const bool known = std::any_of(std::begin(bench_options), std::end(bench_options),
                                       [&](const char* option) { return std::strcmp(argv[i], option) == 0; });
        if (!known) {
            std::fprintf(stderr, "unknown option %s (known: --probes --samples --handshakes --packets, each with a count)\n",
                         argv[i]);
            std::exit(2);
        }
        char* end = nullptr;
        const unsigned long long value = i + 1 < argc ? std::strtoull(argv[i + 1], &end, 10) : 0;
        if (i + 1 >= argc || end == argv[i + 1] || *end != '\0' || argv[i + 1][0] == '-' || value == 0) {
            std::fprintf(stderr, "%s needs a positive whole number\n", argv[i]);
            std::exit(2);
        }
    }
}

// The count given with `name`, or `fallback`; call check_arguments first.
inline std::size_t count_argument(int argc, char** argv, const char* name, std::size_t fallback) {
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], name) == 0) return static_cast<std::size_t>(std::strtoull(argv[i + 1], nullptr, 10));
    }
    return fallback;
}

}  // namespace quorlin::bench
