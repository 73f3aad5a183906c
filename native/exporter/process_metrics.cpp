#include "exporter/process_metrics.hpp"

#include "common/owned_fd.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <limits>
#include <string>
#include <utility>

namespace quorlin::exporter {

namespace {

// /proc files say nothing of their size: read to the end, within a bound.
// /proc/self/status is about 1.5 KiB; /proc/stat has a line per CPU and per
// interrupt before its boot time.
constexpr std::size_t longest_self_file = 64 * 1024;
constexpr std::size_t longest_stat_file = 4 * 1024 * 1024;

std::optional<std::string> read_proc_file(const char* path, std::size_t longest = longest_self_file) {
    const OwnedFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return std::nullopt;
    std::string text;
    std::array<char, 4096> chunk{};
    while (text.size() < longest) {
        const ssize_t got = ::read(fd.get(), chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::nullopt;
        if (got == 0) return text;
        text.append(chunk.data(), static_cast<std::size_t>(got));
    }
    return std::nullopt;
}

std::optional<std::uint64_t> whole_number(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// The blank-separated words of `text`.
std::vector<std::string_view> words(std::string_view text) {
    std::vector<std::string_view> out;
    std::size_t at = 0;
    while ((at = text.find_first_not_of(" \t\n", at)) != std::string_view::npos) {
        const std::size_t end = std::min(text.find_first_of(" \t\n", at), text.size());
        out.push_back(text.substr(at, end - at));
        at = end;
    }
    return out;
}

// The rest of the line that starts with `key`, or nothing.
std::optional<std::string_view> line_after(std::string_view text, std::string_view key) {
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        const std::string_view line = text.substr(at, end - at);
        if (line.starts_with(key)) return line.substr(key.size());
        at = end + 1;
    }
    return std::nullopt;
}

std::optional<double> count_open_fds() {
    DIR* folder = ::opendir("/proc/self/fd");
    if (folder == nullptr) return std::nullopt;
    const int own = ::dirfd(folder);
    double count = 0;
    while (const dirent* entry = ::readdir(folder)) {
        if (entry->d_name[0] == '.') continue;
        // The folder's own descriptor is this reading's, not the process's.
        if (whole_number(entry->d_name) == static_cast<std::uint64_t>(own)) continue;
        ++count;
    }
    ::closedir(folder);
    return count;
}

// Read once: it does not change, and /proc/stat is long on a large machine.
std::optional<std::uint64_t> boot_time() {
    static const std::optional<std::uint64_t> once = [] {
        const auto text = read_proc_file("/proc/stat", longest_stat_file);
        return text ? parse_boot_time(*text) : std::nullopt;
    }();
    return once;
}

prometheus::MetricFamily single(std::string name, std::string help, prometheus::MetricType type, double value) {
    prometheus::ClientMetric metric;
    if (type == prometheus::MetricType::Counter) {
        metric.counter.value = value;
    } else {
        metric.gauge.value = value;
    }
    return prometheus::MetricFamily{std::move(name), std::move(help), type, {metric}};
}

}  // namespace

std::optional<ProcStat> parse_proc_stat(std::string_view stat) {
    // The command name may hold blanks and parentheses: the fields start after its last ')'.
    const std::size_t name_end = stat.rfind(')');
    if (name_end == std::string_view::npos) return std::nullopt;
    const std::vector<std::string_view> fields = words(stat.substr(name_end + 1));
    // Counted from the state, the kernel's field 3: utime 14, stime 15, starttime 22, vsize 23.
    constexpr std::size_t first = 3;
    if (fields.size() < 23 - first + 1) return std::nullopt;
    const auto user = whole_number(fields[14 - first]);
    const auto system = whole_number(fields[15 - first]);
    const auto start = whole_number(fields[22 - first]);
    const auto size = whole_number(fields[23 - first]);
    if (!user || !system || !start || !size) return std::nullopt;
    return ProcStat{*user, *system, *start, *size};
}

std::optional<double> parse_max_open_files(std::string_view limits) {
    // "Max open files            1024                 524288               files"
    const auto rest = line_after(limits, "Max open files");
    if (!rest) return std::nullopt;
    const std::vector<std::string_view> fields = words(*rest);
    if (fields.empty()) return std::nullopt;
    if (fields[0] == "unlimited") return std::numeric_limits<double>::infinity();
    const auto soft = whole_number(fields[0]);
    if (!soft) return std::nullopt;
    return static_cast<double>(*soft);
}

std::optional<std::uint64_t> parse_resident_bytes(std::string_view status) {
    // "VmRSS:\t   12345 kB"
    const auto rest = line_after(status, "VmRSS:");
    if (!rest) return std::nullopt;
    const std::vector<std::string_view> fields = words(*rest);
    if (fields.size() != 2 || fields[1] != "kB") return std::nullopt;
    const auto kib = whole_number(fields[0]);
    if (!kib || *kib > std::numeric_limits<std::uint64_t>::max() / 1024) return std::nullopt;
    return *kib * 1024;
}

std::optional<std::uint64_t> parse_boot_time(std::string_view proc_stat) {
    const auto rest = line_after(proc_stat, "btime ");
    if (!rest) return std::nullopt;
    const std::vector<std::string_view> fields = words(*rest);
    if (fields.size() != 1) return std::nullopt;
    return whole_number(fields[0]);
}

ProcessFigures read_process_figures() {
    ProcessFigures figures;
    const long ticks_per_second = ::sysconf(_SC_CLK_TCK);
    const auto stat_text = read_proc_file("/proc/self/stat");
    const std::optional<ProcStat> stat = stat_text ? parse_proc_stat(*stat_text) : std::nullopt;
    if (stat && ticks_per_second > 0) {
        const double ticks = static_cast<double>(ticks_per_second);
        figures.cpu_seconds = static_cast<double>(stat->user_ticks + stat->system_ticks) / ticks;
        figures.virtual_memory_bytes = static_cast<double>(stat->virtual_bytes);
        if (const auto boot = boot_time()) {
            figures.start_time_seconds = static_cast<double>(*boot) + static_cast<double>(stat->start_ticks) / ticks;
        }
    }
    if (const auto status = read_proc_file("/proc/self/status")) {
        if (const auto resident = parse_resident_bytes(*status)) figures.resident_memory_bytes = static_cast<double>(*resident);
    }
    if (const auto limits = read_proc_file("/proc/self/limits")) figures.max_fds = parse_max_open_files(*limits);
    figures.open_fds = count_open_fds();
    return figures;
}

std::vector<prometheus::MetricFamily> process_families(const ProcessFigures& figures) {
    using prometheus::MetricType;
    const struct {
        const std::optional<double>& value;
        const char* name;
        const char* help;
        MetricType type;
    } series[] = {
        {figures.cpu_seconds, "process_cpu_seconds_total", "Total user and system CPU time spent in seconds.",
         MetricType::Counter},
        {figures.max_fds, "process_max_fds", "Maximum number of open file descriptors.", MetricType::Gauge},
        {figures.open_fds, "process_open_fds", "Number of open file descriptors.", MetricType::Gauge},
        {figures.resident_memory_bytes, "process_resident_memory_bytes", "Resident memory size in bytes.",
         MetricType::Gauge},
        {figures.start_time_seconds, "process_start_time_seconds",
         "Start time of the process since unix epoch in seconds.", MetricType::Gauge},
        {figures.virtual_memory_bytes, "process_virtual_memory_bytes", "Virtual memory size in bytes.",
         MetricType::Gauge},
    };
    std::vector<prometheus::MetricFamily> out;
    for (const auto& each : series) {
        if (each.value) out.push_back(single(each.name, each.help, each.type, *each.value));
    }
    return out;
}

}  // namespace quorlin::exporter
