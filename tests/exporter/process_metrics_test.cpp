// The process_* series: the /proc parsers on the kernel's own layouts and the
// text Prometheus reads (the exporter's own figures: tests/python).
#include "exporter/process_metrics.hpp"

#include <prometheus/text_serializer.h>

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>

namespace quorlin::exporter {
namespace {

// Fields 3 to 23 after the command name: state ... utime(14) stime(15) ... starttime(22) vsize(23).
std::string stat_line(std::string_view name) {
    return "4242 (" + std::string(name) +
           ") S 1 4242 4242 0 -1 4194560 1500 0 0 0 250 75 0 0 20 0 3 0 98765 123456789 2000 18446744073709551615\n";
}

TEST(ProcessMetrics, ProcStat) {
    const struct {
        std::string text;
        std::optional<ProcStat> expected;
    } cases[] = {
        {stat_line("quorlin-exporter"), ProcStat{250, 75, 98765, 123456789}},
        // A command name may hold blanks and parentheses.
        {stat_line("a) S 1 (b"), ProcStat{250, 75, 98765, 123456789}},
        {"4242 (x) S 1 2 3", std::nullopt},
        {"4242 x S 1", std::nullopt},
        {stat_line("x").replace(stat_line("x").find(" 250 "), 5, " -1 "), std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto parsed = parse_proc_stat(c.text);
        ASSERT_EQ(parsed.has_value(), c.expected.has_value()) << c.text;
        if (!parsed) continue;
        EXPECT_EQ(parsed->user_ticks, c.expected->user_ticks);
        EXPECT_EQ(parsed->system_ticks, c.expected->system_ticks);
        EXPECT_EQ(parsed->start_ticks, c.expected->start_ticks);
        EXPECT_EQ(parsed->virtual_bytes, c.expected->virtual_bytes);
    }
}

TEST(ProcessMetrics, LimitsStatusAndBootTime) {
    const std::string limits_head =
        "Limit                     Soft Limit           Hard Limit           Units     \n"
        "Max processes             63413                63413                processes \n";
    EXPECT_EQ(parse_max_open_files(limits_head + "Max open files            1024                 524288               files     \n"),
              1024.0);
    EXPECT_EQ(parse_max_open_files(limits_head + "Max open files            unlimited            unlimited            files     \n"),
              INFINITY);
    EXPECT_EQ(parse_max_open_files(limits_head), std::nullopt);

    EXPECT_EQ(parse_resident_bytes("Name:\tq\nVmPeak:\t  9000 kB\nVmRSS:\t    5120 kB\nThreads:\t3\n"), 5120u * 1024);
    EXPECT_EQ(parse_resident_bytes("Name:\tq\nVmRSS:\t    5120 MB\n"), std::nullopt);
    EXPECT_EQ(parse_resident_bytes("Name:\tkthreadd\n"), std::nullopt);

    EXPECT_EQ(parse_boot_time("cpu  1 2 3\nintr 5 0 0\nctxt 77\nbtime 1760000000\nprocesses 9\n"), 1760000000u);
    EXPECT_EQ(parse_boot_time("cpu  1 2 3\nbtime\n"), std::nullopt);
}

// The names, help texts and types the client libraries use, byte for byte.
TEST(ProcessMetrics, TextAsTheClientLibrariesWriteIt) {
    ProcessFigures figures;
    figures.cpu_seconds = 3.25;
    figures.open_fds = 12;
    figures.max_fds = 1024;
    figures.resident_memory_bytes = 5242880;
    figures.start_time_seconds = 1760000000.5;
    figures.virtual_memory_bytes = 123456789;
    EXPECT_EQ(prometheus::TextSerializer().Serialize(process_families(figures)),
              "# HELP process_cpu_seconds_total Total user and system CPU time spent in seconds.\n"
              "# TYPE process_cpu_seconds_total counter\n"
              "process_cpu_seconds_total 3.25\n"
              "# HELP process_max_fds Maximum number of open file descriptors.\n"
              "# TYPE process_max_fds gauge\n"
              "process_max_fds 1024\n"
              "# HELP process_open_fds Number of open file descriptors.\n"
              "# TYPE process_open_fds gauge\n"
              "process_open_fds 12\n"
              "# HELP process_resident_memory_bytes Resident memory size in bytes.\n"
              "# TYPE process_resident_memory_bytes gauge\n"
              "process_resident_memory_bytes 5242880\n"
              "# HELP process_start_time_seconds Start time of the process since unix epoch in seconds.\n"
              "# TYPE process_start_time_seconds gauge\n"
              "process_start_time_seconds 1760000000.5\n"
              "# HELP process_virtual_memory_bytes Virtual memory size in bytes.\n"
              "# TYPE process_virtual_memory_bytes gauge\n"
              "process_virtual_memory_bytes 123456789\n");
    // A figure that could not be read is left out, never written as 0.
    figures.resident_memory_bytes.reset();
    EXPECT_EQ(prometheus::TextSerializer().Serialize(process_families(figures)).find("process_resident"),
              std::string::npos);
}

}  // namespace
}  // namespace quorlin::exporter
