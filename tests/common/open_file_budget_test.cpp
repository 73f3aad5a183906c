// The open-file budget under a real, lowered limit: each case runs in a
// child process, so that the test process keeps its own limit.
#include "common/open_file_budget.hpp"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

namespace quorlin {
namespace {

// fit_open_files in a child whose soft limit is `soft` and hard limit `hard`.
OpenFileBudget fitted_under(rlim_t soft, rlim_t hard, std::size_t probes, std::size_t connections) {
    std::array<int, 2> pipe_fds{};
    EXPECT_EQ(::pipe(pipe_fds.data()), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipe_fds[0]);
        const rlimit limit{soft, hard};
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) ::_exit(2);
        const OpenFileBudget budget = fit_open_files(probes, connections);
        const bool written = ::write(pipe_fds[1], &budget, sizeof budget) == sizeof budget;
        ::_exit(written ? 0 : 1);
    }
    ::close(pipe_fds[1]);
    OpenFileBudget budget{};
    EXPECT_EQ(::read(pipe_fds[0], &budget, sizeof budget), static_cast<ssize_t>(sizeof budget));
    ::close(pipe_fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return budget;
}

TEST(OpenFileBudget, RaisedOnceForProbesAndConnectionsTogether) {
    const struct {
        const char* name;
        rlim_t soft, hard;
        std::size_t probes, connections;
        OpenFileBudget expected;
    } cases[] = {
        {"raised to fit both", 1024, 4096, 32, 1088, {32, 1088, 32 * 2 + 1088 + 64, 4096}},
        {"probes only, as the fleet asks", 80, 80, 4096, 0, {8, 0, 80, 80}},
        {"probes first, connections the rest", 300, 300, 32, 1088, {32, 172, 300, 300}},
        {"connections keep a floor", 100, 100, 32, 1088, {10, 16, 100, 100}},
        {"a limit below the reserve still runs one probe", 40, 40, 8, 0, {1, 0, 40, 40}},
    };
    for (const auto& c : cases) {
        const OpenFileBudget got = fitted_under(c.soft, c.hard, c.probes, c.connections);
        EXPECT_EQ(got.probes, c.expected.probes) << c.name;
        EXPECT_EQ(got.connections, c.expected.connections) << c.name;
        EXPECT_EQ(got.limit, c.expected.limit) << c.name;
        EXPECT_EQ(got.hard_limit, c.expected.hard_limit) << c.name;
    }
}

TEST(OpenFileBudget, NoticesSayWhatWasLowered) {
    const OpenFileBudget budget{10, 16, 100, 100};
    EXPECT_EQ(lowered_notice(32, 32, budget),
              "--concurrency 32 lowered to 10 by the open-file limit: 100 descriptors (hard limit 100) hold 10 probes "
              "of 2 each beside 64 for the process");
    EXPECT_EQ(lowered_notice(10, 10, budget), "");
    EXPECT_EQ(lowered_connections_notice(1024, 8, budget),
              "the connection cap 1024 lowered to 8 by the open-file limit: 100 descriptors (hard limit 100) hold 10 "
              "probes of 2 each and 16 connections beside 64 for the process");
    EXPECT_EQ(lowered_connections_notice(8, 8, budget), "");
}

}  // namespace
}  // namespace quorlin
