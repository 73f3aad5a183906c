// Key turns on the real file system: the private folder's checks, the rule
// between turns in one process and across processes, why a turn did not come,
// and the clean-up of old lock files beside turns being taken.
#include "probe/key_turn.hpp"

#include "probe/turn_folder.hpp"
#include "probe/turn_sweep.hpp"
#include "probe/sweep_wait.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <regex>
#include <thread>

namespace quorlin {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr std::string_view kept = "another probe with the same client and peer keys kept its turn past the overall deadline";

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
    void TearDown() override {
        probe_testing::sweeps_ended();
        fs::remove_all(runtime_);
    }

    // In the subfolders and, from the flat layout, in the folder itself.
    std::size_t turn_files() const {
        std::size_t count = 0;
        for (const auto& entry : fs::recursive_directory_iterator(folder_)) {
            count += entry.path().extension() == ".turn";
        }
        return count;
    }

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
    // The same refusals for the subfolder of the lock file, the folder itself sound.
    const std::string shard = turn_shard_name(turn_file_name(identity(1, 2)));
    const auto run = [&](const Case& c, const std::string& at, bool in_sound_folder) {
        probe_testing::sweeps_ended();
        fs::remove_all(folder_);
        if (in_sound_folder) {
            fs::create_directory(folder_);
            fs::permissions(folder_, fs::perms::owner_all);
        }
        c.prepare(at);
        auto turn = take_key_turn(identity(1, 2), Clock::now() + 1s);
        if (c.expected.empty()) {
            EXPECT_TRUE(turn) << c.name << " at " << at << ": " << turn.error();
            return;
        }
        ASSERT_FALSE(turn) << c.name << " at " << at;
        EXPECT_EQ(turn.error(), "could not take this key's turn: key turn folder " + at + ": " + c.expected) << c.name;
    };
    for (const Case& c : cases) {
        run(c, folder_, false);
        run(c, folder_ + "/" + shard, true);
    }

    // The lock file itself, in the subfolder of its name's first two digits:
    // only a regular file of this user's.
    probe_testing::sweeps_ended();
    fs::remove_all(folder_);
    ASSERT_TRUE(take_key_turn(identity(1, 2), Clock::now() + 1s));
    ASSERT_TRUE(fs::is_directory(folder_ + "/" + shard));
    const fs::path made = fs::directory_iterator(folder_ + "/" + shard)->path();
    EXPECT_EQ(made.filename().string().size(), 32u + 5u) << "a hash of the public keys, in hex, and .turn";
    EXPECT_EQ(made.filename().string().substr(0, 2), shard);
    EXPECT_EQ(fs::status(folder_).permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(made.parent_path()).permissions(), fs::perms::owner_all);
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
    probe_testing::sweeps_ended();  // a child forked while a sweep holds a lock would never get it
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

// Each refusal names the true cause: a turn still held (and for how long), a
// spacing that ends past the deadline, or a deadline gone before any wait.
TEST_F(KeyTurns, ATurnThatCannotComeInTimeSaysWhy) {
    const std::regex held_for(std::string(kept) + R"( \(held for [0-9]+\.[0-9] s by then\))");
    {
        std::optional<KeyTurn> held(*take_key_turn(identity(1, 2), Clock::now() + 1s));
        const Instant asked = Clock::now();
        auto turn = take_key_turn(identity(1, 2), asked + 30ms);
        ASSERT_FALSE(turn);
        EXPECT_TRUE(std::regex_match(turn.error(), held_for)) << "held in this process: " << turn.error();
        EXPECT_GE(Clock::now() - asked, 30ms);
    }
    const auto soon = take_key_turn(identity(1, 2), Clock::now() + key_turn_spacing / 2);
    ASSERT_FALSE(soon);
    EXPECT_EQ(soon.error(),
              "another probe with the same client and peer keys ended its turn less than 50 ms before the overall "
              "deadline");
    std::this_thread::sleep_for(key_turn_spacing);
    const auto late = take_key_turn(identity(1, 2), Clock::now() - 1ms);
    ASSERT_FALSE(late);
    EXPECT_EQ(late.error(), "the overall deadline passed before this probe could take its key's turn")
        << "free, but asked too late: no other probe is to blame";
}

// Held by another process: that one forks before this process has taken any
// turn, so no thread of ours (a sweep) can hold a lock the child would need.
TEST_F(KeyTurns, ATurnHeldByAnotherProcessSaysHowLong) {
    const std::regex held_for(std::string(kept) + R"( \(held for [0-9]+\.[0-9] s by then\))");
    // One pipe each way: on a single pipe the child could read back its own "taken".
    int to_parent[2];
    int to_child[2];
    ASSERT_EQ(::pipe(to_parent), 0);
    ASSERT_EQ(::pipe(to_child), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto turn = take_key_turn(identity(1, 2), Clock::now() + 5s);
        (void)::write(to_parent[1], "t", 1);
        char done = 0;
        (void)::read(to_child[0], &done, 1);
        ::_exit(turn ? 0 : 1);
    }
    char taken = 0;
    ASSERT_EQ(::read(to_parent[0], &taken, 1), 1);
    std::this_thread::sleep_for(100ms);
    auto other = take_key_turn(identity(1, 2), Clock::now() + 30ms);
    (void)::write(to_child[1], "d", 1);
    int status = 0;
    ::waitpid(child, &status, 0);
    for (const int fd : {to_parent[0], to_parent[1], to_child[0], to_child[1]}) ::close(fd);
    ASSERT_FALSE(other);
    EXPECT_TRUE(std::regex_match(other.error(), held_for)) << "held by another process: " << other.error();
}

// The clean-up removes what is old, unreadable or from before a reboot, never
// a file in use; 2,000 key pairs leave the folder back to a handful.
TEST_F(KeyTurns, OldTurnFilesAreRemovedAndUsedOnesKept) {
    for (int i = 0; i < 2000; ++i) {
        ASSERT_TRUE(take_key_turn(identity(static_cast<std::uint8_t>(i % 250), static_cast<std::uint8_t>(i / 250)),
                                  Clock::now() + 1s));
    }
    ASSERT_EQ(turn_files(), 2000u);
    auto folder = current_turn_folder(folder_);
    ASSERT_TRUE(folder);
    EXPECT_EQ(sweep_turn_files(**folder, turn_file_age), 0u) << "all ended just now";

    std::optional<KeyTurn> held(*take_key_turn(identity(9, 9), Clock::now() + 1s));
    probe_testing::sweeps_ended();  // the one the first turn's end started, which would count too
    const auto plant = [&](const std::string& name, const std::string& record) {
        const fs::path parent = fs::path(folder_ + "/" + name).parent_path();
        if (fs::create_directory(parent)) fs::permissions(parent, fs::perms::owner_all);
        std::FILE* file = std::fopen((folder_ + "/" + name).c_str(), "w");
        std::fputs(record.c_str(), file);
        std::fclose(file);
    };
    const std::string now_ns =
        std::to_string(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count());
    plant("0f/from-before-a-reboot.turn", "99999999999999999\n");  // about three years of uptime
    plant("a0/unreadable.turn", "x");
    plant("other-file", "");
    plant("not-a-subfolder/kept.turn", "1\n");
    // Lock files of the flat layout, directly in the folder: no longer
    // used, so swept once old like the others.
    plant("00112233445566778899aabbccddeeff.turn", "1\n");
    plant("ffeeddccbbaa99887766554433221100.turn", now_ns + "\n");
    EXPECT_EQ(sweep_turn_files(**folder, turn_file_age), 3u) << "the future, unreadable and old flat records";
    EXPECT_EQ(sweep_turn_files(**folder, 0s), 2001u) << "all but the held turn";
    EXPECT_EQ(turn_files(), 2u) << "the held turn and the file outside the subfolders";
    EXPECT_TRUE(fs::exists(folder_ + "/other-file")) << "only lock files are swept";
    EXPECT_TRUE(fs::exists(folder_ + "/not-a-subfolder/kept.turn")) << "only the subfolders are walked";
    held.reset();
    EXPECT_TRUE(take_key_turn(identity(9, 9), Clock::now() + 1s)) << "a swept key takes its turn as before";
}

// Takers in several processes hammer one key while another process sweeps
// with age 0, so the file is removed between turns again and again: a taker
// that locked a removed file must open the new one, never run beside it.
TEST_F(KeyTurns, ATurnRacingTheCleanUpIsNeverShared) {
    const std::string marker = runtime_ + "/holder";
    const auto run_for = [](auto body) {
        probe_testing::sweeps_ended();  // a child forked while a sweep holds a lock would never get it
        const pid_t child = ::fork();
        if (child == 0) ::_exit(body());
        return child;
    };
    const Instant stop = Clock::now() + 2s;
    std::vector<pid_t> children;
    for (int i = 0; i < 3; ++i) {
        children.push_back(run_for([&] {
            int turns = 0;
            while (Clock::now() < stop) {
                {
                    auto turn = take_key_turn(identity(1, 2), Clock::now() + 5s);
                    if (!turn) return 2;
                    const int alone = ::open(marker.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
                    if (alone < 0) return 1;
                    std::this_thread::sleep_for(200us);
                    ::close(alone);
                    ::unlink(marker.c_str());
                }
                // Free now and then, or the next taker's lock (held through
                // the spacing) never lets the sweep in.
                std::this_thread::sleep_for(key_turn_spacing + std::chrono::milliseconds((++turns * 37 + i * 13) % 50));
            }
            return turns > 0 ? 0 : 3;
        }));
    }
    children.push_back(run_for([&] {
        std::size_t removed = 0;
        while (Clock::now() < stop) {
            if (auto folder = current_turn_folder(folder_)) removed += sweep_turn_files(**folder, 0s);
        }
        return removed > 10 ? 0 : 4;
    }));
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "1: two turns at once, 2: a turn refused, 3: no turn, 4: the sweep removed too little; got "
            << WEXITSTATUS(status);
    }
}

}  // namespace
}  // namespace quorlin
