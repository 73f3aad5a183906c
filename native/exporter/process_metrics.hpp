#pragma once
// The process_* series every Prometheus client library exports, with their
// usual names and help texts, read from /proc on each scrape of /metrics
// (prometheus-cpp has no collector for them). A figure that cannot be read is
// left out, never given as 0.

#include <prometheus/metric_family.h>

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace quorlin::exporter {

// What /proc/self/stat says: times in clock ticks, since boot for the start.
struct ProcStat {
    std::uint64_t user_ticks = 0;
    std::uint64_t system_ticks = 0;
    std::uint64_t start_ticks = 0;
    std::uint64_t virtual_bytes = 0;
};

struct ProcessFigures {
    std::optional<double> cpu_seconds;
    std::optional<double> open_fds;
    std::optional<double> max_fds;  // +Inf when unlimited
    std::optional<double> virtual_memory_bytes;
    std::optional<double> resident_memory_bytes;
    std::optional<double> start_time_seconds;  // Unix seconds
};

// The parsers, each for one file's text; nothing when the text is not as the kernel writes it.
std::optional<ProcStat> parse_proc_stat(std::string_view stat);
// "Max open files": the soft limit.
std::optional<double> parse_max_open_files(std::string_view limits);
// "VmRSS:", in bytes.
std::optional<std::uint64_t> parse_resident_bytes(std::string_view status);
// /proc/stat's "btime": the boot time in Unix seconds.
std::optional<std::uint64_t> parse_boot_time(std::string_view proc_stat);

// This process's figures, read now.
ProcessFigures read_process_figures();

// The families for the figures read, in the text format's usual order.
std::vector<prometheus::MetricFamily> process_families(const ProcessFigures& figures);

}  // namespace quorlin::exporter
