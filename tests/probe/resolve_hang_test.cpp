// Endpoint resolution against a system resolver that never answers.
//
// The test re-runs itself under `ip netns exec` in a namespace of its own,
// whose resolv.conf points at 127.0.0.1:53 inside that namespace. There a DNS
// server run by the test holds every query until the test lets a name go, so
// lookups hang for exactly as long as the test wants, and no query can leave
// the namespace (it has nothing but `lo`).

#include "probe/resolve.hpp"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/random.hpp"
#include "probe/resolver_slot.hpp"

extern char** environ;

namespace quorlin {
namespace {

using namespace std::chrono_literals;

constexpr const char* kChildVariable = "QUORLIN_RESOLVE_HANG_CHILD";
// Threads are named "quorlin-resolver" cut to the 15 bytes Linux keeps.
constexpr const char* kResolverThreadComm = "quorlin-resolve";

std::string describe(const ResolveOutcome& outcome) {
    if (!outcome) return "error: " + outcome.error().message;
    if (!outcome->has_value()) return "none";
    return "address " + (*outcome)->to_text();
}

bool wait_for(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// --- parent side: a namespace and a bounded child run -----------------------

// Runs a program (no shell) with extra environment entries; gives up and kills
// it after `limit`. Returns its exit code, or -1 if it did not exit normally.
int run_bounded(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env,
                std::chrono::milliseconds limit) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> env;
    for (char** e = environ; *e != nullptr; ++e) env.push_back(*e);
    for (const auto& e : extra_env) env.push_back(const_cast<char*>(e.c_str()));
    env.push_back(nullptr);

    pid_t pid = 0;
    if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), env.data()) != 0) return -1;
    int status = 0;
    const bool exited = wait_for([&] { return waitpid(pid, &status, WNOHANG) == pid; }, limit);
    if (!exited) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        ADD_FAILURE() << argv[0] << " did not finish within " << limit.count() << " ms";
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int run_quietly(const std::vector<std::string>& argv) { return run_bounded(argv, {}, 20s); }

class ResolverNamespace {
public:
    ResolverNamespace() {
        char suffix[9];
        std::snprintf(suffix, sizeof suffix, "%08x", random_u32());
        name_ = "quorlin-rh-" + std::to_string(getpid()) + "-" + suffix;
        files_ = std::filesystem::path("/etc/netns") / name_;
        if (run_quietly({"ip", "netns", "add", name_}) != 0) return;
        created_ = true;
        std::error_code ignored;
        std::filesystem::create_directories(files_, ignored);
        // `ip netns exec` mounts these over the files in /etc.
        write("resolv.conf", "nameserver 127.0.0.1\noptions timeout:30 attempts:5\n");
        write("hosts", "127.0.0.1 localhost\n127.0.0.1 both.test\n::1 both.test\n");
        write("nsswitch.conf", "hosts: files dns\n");
        ready_ = run_quietly({"ip", "-n", name_, "link", "set", "lo", "up"}) == 0;
    }
    ~ResolverNamespace() {
        std::error_code ignored;
        std::filesystem::remove_all(files_, ignored);
        if (created_) run_quietly({"ip", "netns", "delete", name_});
    }
    ResolverNamespace(const ResolverNamespace&) = delete;
    ResolverNamespace& operator=(const ResolverNamespace&) = delete;

    bool ready() const { return ready_; }
    const std::string& name() const { return name_; }

private:
    void write(const char* file, const char* text) {
        std::ofstream out(files_ / file);
        out << text;
        if (!out.flush()) ready_ = false;
    }

    std::string name_;
    std::filesystem::path files_;
    bool created_ = false;
    bool ready_ = false;
};

// --- child side: a DNS server that answers only when told --------------------

class HeldDnsServer {
public:
    HeldDnsServer() {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) return;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(53);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return;
        worker_ = std::thread([this] { serve(); });
    }
    ~HeldDnsServer() {
        stop_ = true;
        if (worker_.joinable()) worker_.join();
        if (fd_ >= 0) close(fd_);
    }
    HeldDnsServer(const HeldDnsServer&) = delete;
    HeldDnsServer& operator=(const HeldDnsServer&) = delete;

    bool running() const { return worker_.joinable(); }

    // From now on queries for `name` (held ones included) get NXDOMAIN.
    void let_go(const std::string& name) {
        std::lock_guard lock(mutex_);
        released_.insert(name);
        answer_released_locked();
    }
    void let_all_go() {
        std::lock_guard lock(mutex_);
        everything_released_ = true;
        answer_released_locked();
    }

private:
    struct Query {
        std::vector<unsigned char> bytes;  // header and question only
        std::string name;
        sockaddr_in from;
    };

    void serve() {
        while (!stop_) {
            pollfd ready{fd_, POLLIN, 0};
            if (poll(&ready, 1, 20) <= 0) continue;
            Query query{};
            query.bytes.resize(512);
            socklen_t from_length = sizeof query.from;
            const auto n = recvfrom(fd_, query.bytes.data(), query.bytes.size(), 0,
                                    reinterpret_cast<sockaddr*>(&query.from), &from_length);
            if (n <= 0 || !parse_question(query, static_cast<std::size_t>(n))) continue;
            std::lock_guard lock(mutex_);
            held_.push_back(std::move(query));
            answer_released_locked();
        }
    }

    // Keeps header + first question, and its name as "label.label".
    static bool parse_question(Query& query, std::size_t length) {
        std::size_t at = 12;
        while (at < length && query.bytes[at] != 0) {
            const std::size_t label = query.bytes[at];
            if (label > 63 || at + 1 + label > length) return false;
            if (!query.name.empty()) query.name += '.';
            query.name.append(reinterpret_cast<const char*>(&query.bytes[at + 1]), label);
            at += 1 + label;
        }
        at += 1 + 4;  // root label, type, class
        if (at > length) return false;
        query.bytes.resize(at);
        return true;
    }

    bool is_released_locked(const std::string& name) const {
        if (everything_released_) return true;
        for (const auto& r : released_) {
            if (name == r || name.starts_with(r + ".")) return true;
        }
        return false;
    }

    void answer_released_locked() {
        for (auto it = held_.begin(); it != held_.end();) {
            if (!is_released_locked(it->name)) {
                ++it;
                continue;
            }
            auto& b = it->bytes;
            b[2] = static_cast<unsigned char>(0x80 | (b[2] & 0x01));  // response, keep RD
            b[3] = 0x80 | 3;                                          // RA, NXDOMAIN
            b[4] = 0, b[5] = 1;                                       // one question
            for (int i = 6; i < 12; ++i) b[i] = 0;                    // no records
            sendto(fd_, b.data(), b.size(), 0, reinterpret_cast<const sockaddr*>(&it->from), sizeof it->from);
            it = held_.erase(it);
        }
    }

    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread worker_;
    std::mutex mutex_;
    std::vector<Query> held_;
    std::set<std::string> released_;
    bool everything_released_ = false;
};

std::size_t resolver_threads_alive() {
    std::size_t count = 0;
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return 0;
    while (const dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string name;
        if (std::getline(comm, name) && name == kResolverThreadComm) ++count;
    }
    closedir(tasks);
    return count;
}

void run_inside_namespace() {
    ASSERT_EQ(active_resolver_workers(), 0u);
    HeldDnsServer dns;
    ASSERT_TRUE(dns.running()) << "could not bind 127.0.0.1:53 inside the namespace";

    // A lookup that outlasts the remaining time ends at the deadline and
    // leaves its thread holding the slot.
    constexpr auto kRemaining = 300ms;
    const auto started = Clock::now();
    const auto late = resolve_endpoint("slow.test:51820", Duration::from_millis(kRemaining.count()));
    const auto waited = Clock::now() - started;
    EXPECT_EQ(describe(late), "error: endpoint resolution exceeded the overall deadline");
    EXPECT_GE(waited, kRemaining);
    EXPECT_LT(waited, kRemaining + 5s);  // bounds a hang only; overshoot is measured in bench/
    EXPECT_EQ(active_resolver_workers(), 1u);

    for (const char* endpoint : {"hang1.test:1", "hang2.test:1", "hang3.test:1"}) {
        EXPECT_EQ(describe(resolve_endpoint(endpoint, Duration::from_millis(30))),
                  "error: endpoint resolution exceeded the overall deadline");
    }
    EXPECT_EQ(active_resolver_workers(), RESOLVER_WORKER_LIMIT);
    EXPECT_TRUE(wait_for([] { return resolver_threads_alive() == RESOLVER_WORKER_LIMIT; }, 5s))
        << "resolver threads named " << kResolverThreadComm << ": " << resolver_threads_alive();

    // Four stuck lookups: a fifth host name waits for a slot until its
    // deadline; literals still resolve at once.
    const auto fifth_started = Clock::now();
    EXPECT_EQ(describe(resolve_endpoint("both.test:1", Duration::from_millis(300))),
              "error: endpoint resolver capacity exhausted (4 workers)");
    EXPECT_GE(Clock::now() - fifth_started, 300ms);
    EXPECT_EQ(describe(resolve_endpoint("[::1]:51820", Duration::from_millis(10'000))), "address [::1]:51820");
    EXPECT_EQ(describe(resolve_endpoint("127.0.0.1:9", Duration::from_millis(10'000))), "address 127.0.0.1:9");
    EXPECT_EQ(resolver_threads_alive(), RESOLVER_WORKER_LIMIT);

    // When one stuck lookup finally ends, its slot comes back, its answer goes
    // nowhere, and a caller waiting for a slot proceeds; the first address
    // wins whatever its family (the hosts file gives ::1 and 127.0.0.1; the
    // system orders ::1 first).
    std::thread release_slow([&] {
        std::this_thread::sleep_for(100ms);
        dns.let_go("slow.test");
    });
    EXPECT_EQ(describe(resolve_endpoint("both.test:51820", Duration::from_millis(10'000))),
              "address [::1]:51820");
    release_slow.join();
    EXPECT_EQ(active_resolver_workers(), RESOLVER_WORKER_LIMIT - 1);

    dns.let_go("nx.test");
    EXPECT_EQ(describe(resolve_endpoint("nx.test:51820", Duration::from_millis(10'000))),
              "error: failed to lookup address information: Name or service not known");
    EXPECT_EQ(active_resolver_workers(), RESOLVER_WORKER_LIMIT - 1);

    // Every abandoned thread ends once its lookup does; nothing stays behind.
    dns.let_all_go();
    EXPECT_TRUE(wait_for([] { return active_resolver_workers() == 0; }, 10s)) << active_resolver_workers();
    EXPECT_TRUE(wait_for([] { return resolver_threads_alive() == 0; }, 10s)) << resolver_threads_alive();
}

TEST(ResolveHangingLookup, CapacityDeadlineAndLateRelease) {
    if (std::getenv(kChildVariable) != nullptr) {
        run_inside_namespace();
        return;
    }
    if (geteuid() != 0) GTEST_SKIP() << "needs root to create a network namespace";
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    ASSERT_FALSE(error) << error.message();

    ResolverNamespace ns;
    ASSERT_TRUE(ns.ready()) << "could not set up network namespace " << ns.name();
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter = std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
    const int code = run_bounded({"ip", "netns", "exec", ns.name(), self.string(), filter},
                                 {std::string(kChildVariable) + "=1"}, 120s);
    EXPECT_EQ(code, 0) << "the run inside the namespace failed (its output is above)";
}

}  // namespace
}  // namespace quorlin
