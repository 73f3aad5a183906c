// Key turns on the real file system: the private folder's checks, and the rule
// between turns in one process and across processes.
#include "probe/key_turn.hpp"

#include "probe/turn_folder.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <thread>

namespace quorlin {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr std::string_view kept = "another probe with the same client and peer keys kept its turn past the handshake deadline";

KeyIdentity identity(std::uint8_t client, std::uint8_t peer) {
    KeyIdentity id;
    id.client_public_key.fill(client);
    id.peer_public_key.fill(peer);
    return id;
}

// Each test gets a runtime folder of its own, as $XDG_RUNTIME_DIR.
class KeyTurns : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/quorlin-turn-test-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        runtime_ = name;
        ::setenv("XDG_RUNTIME_DIR", name, 1);
        folder_ = runtime_ + "/quorlin";
    }
    void TearDown() override { fs::remove_all(runtime_); }

    std::string runtime_;
    std::string folder_;
};

TEST_F(KeyTurns, RefusesAFolderOrFileAnotherUserCouldControl) {
    struct Case {
        const char* name;
        std::function<void(const std::string& folder)> prepare;
        std::string expected;  // after "could not take this key's turn: "; empty when the turn is taken
    };
    const Case cases[] = {
        {"a new folder", [](const std::string&) {}, ""},
        {"a folder open to others",
         [](const std::string& f) {
             fs::create_directory(f);
             fs::permissions(f, fs::perms(0755));
         },
         "is open to other users (mode 0755)"},
        {"a link to a private folder",
         [](const std::string& f) {
             fs::create_directory(f + "-real");
             fs::permissions(f + "-real", fs::perms::owner_all);
             fs::create_directory_symlink(f + "-real", f);
         },
         "is a link or not a folder"},
        {"a file", [](const std::string& f) { std::fclose(std::fopen(f.c_str(), "w")); }, "is a link or not a folder"},
        {"another user's folder",
         [](const std::string& f) {
             fs::create_directory(f);
             fs::permissions(f, fs::perms::owner_all);
             (void)::chown(f.c_str(), 65534, 65534);
         },
         ::geteuid() == 0 ? "is not owned by this user" : ""},
    };
    for (const Case& c : cases) {
        fs::remove_all(folder_);
        c.prepare(folder_);
        auto turn = take_key_turn(identity(1, 2), Clock::now() + 1s);
        if (c.expected.empty()) {
            EXPECT_TRUE(turn) << c.name << ": " << turn.error();
            continue;
        }
        ASSERT_FALSE(turn) << c.name;
        EXPECT_EQ(turn.error(), "could not take this key's turn: key turn folder " + folder_ + ": " + c.expected)
            << c.name;
    }

    // The lock file itself: only a regular file of this user's.
    fs::remove_all(folder_);
    ASSERT_TRUE(take_key_turn(identity(1, 2), Clock::now() + 1s));
    const fs::path made = fs::directory_iterator(folder_)->path();
    EXPECT_EQ(made.filename().string().size(), 32u + 5u) << "a hash of the public keys, in hex, and .turn";
    EXPECT_EQ(fs::status(folder_).permissions(), fs::perms::owner_all);
    const struct {
        const char* name;
        std::function<void()> plant;
        std::string expected;
    } files[] = {
        {"a link", [&] { fs::create_symlink("/etc/passwd", made); }, "is a link"},
        {"a FIFO", [&] { ::mkfifo(made.c_str(), 0600); }, "is not a regular file"},
    };
    for (const auto& f : files) {
        fs::remove(made);
        f.plant();
        auto turn = take_key_turn(identity(1, 2), Clock::now() + 1s);
        ASSERT_FALSE(turn) << f.name;
        EXPECT_EQ(turn.error(), "could not take this key's turn: key turn file " + made.string() + ": " + f.expected);
    }
}

// Exact, not lucky: `before_end` is read before the first turn ends, so the
// recorded end is no earlier; the second turn may start only the spacing
// after the recorded end, and `started` is read after it did.
TEST_F(KeyTurns, OneAtATimeAndTheSpacingAfterTheLastEndWithinAProcess) {
    std::optional<KeyTurn> first(*take_key_turn(identity(1, 2), Clock::now() + 1s));
    ASSERT_TRUE(take_key_turn(identity(1, 3), Clock::now() + 1s)) << "another identity does not wait";
    Instant started{};
    std::thread second([&] {
        auto turn = take_key_turn(identity(1, 2), Clock::now() + 5s);
        started = Clock::now();
        EXPECT_TRUE(turn);
    });
    std::this_thread::sleep_for(20ms);
    const Instant before_end = Clock::now();
    first.reset();
    second.join();
    EXPECT_GE(started - before_end, key_turn_spacing);
}

TEST_F(KeyTurns, OneAtATimeAndTheSpacingAfterTheLastEndAcrossProcesses) {
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Instant before_end{};
        {
            auto turn = take_key_turn(identity(1, 2), Clock::now() + 5s);
            (void)::write(pipe_fds[1], "t", 1);
            std::this_thread::sleep_for(100ms);
            before_end = Clock::now();
        }
        (void)::write(pipe_fds[1], &before_end, sizeof before_end);
        ::_exit(0);
    }
    char taken = 0;
    ASSERT_EQ(::read(pipe_fds[0], &taken, 1), 1);
    auto turn = take_key_turn(identity(1, 2), Clock::now() + 5s);
    const Instant started = Clock::now();
    ASSERT_TRUE(turn);
    Instant child_before_end{};
    ASSERT_EQ(::read(pipe_fds[0], &child_before_end, sizeof child_before_end),
              static_cast<ssize_t>(sizeof child_before_end));
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(pipe_fds[0]), ::close(pipe_fds[1]);
    EXPECT_GE(started - child_before_end, key_turn_spacing);
}

TEST_F(KeyTurns, ATurnThatCannotComeInTimeIsRefusedAtItsLimit) {
    std::optional<KeyTurn> held(*take_key_turn(identity(1, 2), Clock::now() + 1s));
    const Instant asked = Clock::now();
    auto turn = take_key_turn(identity(1, 2), asked + 30ms);
    ASSERT_FALSE(turn);
    EXPECT_EQ(turn.error(), kept) << "held by another probe";
    EXPECT_GE(Clock::now() - asked, 30ms);
    held.reset();
    const auto soon = take_key_turn(identity(1, 2), Clock::now() + key_turn_spacing / 2);
    ASSERT_FALSE(soon);
    EXPECT_EQ(soon.error(), kept) << "the spacing after the last end ends past the limit";
}

}  // namespace
}  // namespace quorlin
