// The input layer on a real file system: what the careful reader refuses, and
// the order in which the two flows report the first problem. The Python tests
// pin most messages; these cases run the same code under the sanitizers.

#include "input/flows.hpp"
#include "input/careful_file.hpp"

#include "config/test_keys.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

namespace quorlin::input {
namespace {

namespace fs = std::filesystem;
using namespace test_keys;

constexpr std::size_t limit = 16;

// A fresh folder per test, removed with everything in it afterwards.
class InputFiles : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "quorlin-input-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
    }
    void TearDown() override { fs::remove_all(folder_); }

    std::string path(const std::string& name) const { return (folder_ / name).string(); }
    // `name` is a name in the folder or a path made by path().
    std::string write(const std::string& name, const std::string& contents) const {
        const std::string p = name.starts_with('/') ? name : path(name);
        std::ofstream(p, std::ios::binary) << contents;
        return p;
    }

    fs::path folder_;
};

std::string missing(const std::string& label, const std::string& path) {
    return "could not inspect " + label + " file " + path + ": No such file or directory (os error 2)";
}

TEST_F(InputFiles, ReaderRefusesAllButBoundedRegularFiles) {
    using Message = std::function<std::string(const std::string&)>;
    const Message accepted = [](const std::string&) { return std::string(); };
    const Message not_regular = [](const std::string& p) {
        return "configuration path " + p + " must be a regular file";
    };
    const Message too_large = [](const std::string& p) {
        return "configuration file " + p + " exceeds the 16-byte limit";
    };
    const Message absent = [](const std::string& p) { return missing("configuration", p); };
    const auto cannot_inspect = [](std::string error) {
        return [error](const std::string& p) { return "could not inspect configuration file " + p + ": " + error; };
    };
    const struct {
        const char* what;
        std::function<std::string(const std::string&)> make;  // makes the input at a path, returns its path
        Message message;                                       // empty text: the read succeeds
    } cases[] = {
        {"missing", [](const std::string& p) { return p; }, absent},
        {"below a file", [&](const std::string& p) { return write(p, "x") + "/wg0.conf"; },
         cannot_inspect("Not a directory (os error 20)")},
        // The system would see a shorter path.
        {"NUL byte", [](const std::string& p) { return p + std::string("\0b", 2); },
         cannot_inspect("Invalid argument (os error 22)")},
        {"link to a regular file",
         [&](const std::string& p) {
             fs::create_symlink(write("target", "ok"), p);
             return p;
         },
         not_regular},
        {"directory",
         [](const std::string& p) {
             fs::create_directory(p);
             return p;
         },
         not_regular},
        // Refused before it is opened: an open would block with no writer.
        {"fifo",
         [](const std::string& p) {
             ::mkfifo(p.c_str(), 0600);
             return p;
         },
         not_regular},
        {"one byte over the limit", [&](const std::string& p) { return write(p, std::string(limit + 1, 'x')); },
         too_large},
        // Reports size 0 and reads far past the limit: only the count of bytes
        // read refuses it.
        {"growing past the limit while read", [](const std::string&) { return std::string("/proc/self/maps"); },
         too_large},
        {"exactly the limit", [&](const std::string& p) { return write(p, std::string(limit, 'x')); }, accepted},
        {"empty", [&](const std::string& p) { return write(p, ""); }, accepted},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string p = c.make(path(c.what));
        const auto contents = read_file_carefully(p, "configuration", limit);
        const std::string message = c.message(p);
        if (message.empty()) {
            ASSERT_TRUE(contents.has_value()) << contents.error();
            EXPECT_EQ(contents->size(), fs::file_size(p));
        } else {
            ASSERT_FALSE(contents.has_value());
            EXPECT_EQ(contents.error(), message);
        }
    }
}

TEST_F(InputFiles, ReaderGrowsPastAnUnderstatedSize) {
    // /proc files report size 0; the whole text still arrives, grown in steps.
    const char* p = "/proc/self/cmdline";
    std::string expected;
    std::getline(std::ifstream(p), expected, '\x01');
    const auto contents = read_file_carefully(p, "configuration", 1 << 20);
    ASSERT_TRUE(contents.has_value()) << contents.error();
    EXPECT_EQ(contents->text(), expected);
}

TEST_F(InputFiles, LoadersRefuseTextThatIsNotUtf8) {
    const std::string bad = write("bad", std::string(alice_private) + "\n\xc3(");
    EXPECT_EQ(plan_config_file(bad, {}).error(), "WireGuard configuration file must be valid UTF-8");
    EXPECT_EQ(plan_raw_key(bad, {std::string(bob_public), "127.0.0.1:9", {}, {}}, {}).error(),
              "private key file must be valid UTF-8");
}

// Raw-key arguments that pass every rule, with one data check.
RawKeyTexts good_raw() { return {std::string(bob_public), "127.0.0.1:9", "10.0.0.2/32", {"10.0.0.0/24"}}; }
OptionTexts good_options() {
    OptionTexts options;
    options.ping = {"10.0.0.1"};
    return options;
}

TEST_F(InputFiles, FlowsReportTheFirstProblemInOrder) {
    const std::string key = write("private.key", std::string(alice_private) + "\n");
    const std::string absent = path("absent.key");
    const struct {
        const char* what;
        std::function<void(RawKeyTexts&, OptionTexts&)> change;
        bool key_file_present;
        std::string message;
    } cases[] = {
        // Options come first, before the argument rules and the file.
        {"bad ping beside an unpaired address",
         [](RawKeyTexts& r, OptionTexts& o) {
             o.ping = {"10.0.0.1", "10.0.0.256"};
             r.allowed_ips.clear();
         },
         false, "ping target must be an IPv4 address, got 10.0.0.256"},
        {"TCP target without a port", [](RawKeyTexts&, OptionTexts& o) { o.tcp = {"10.0.0.1:80", "10.0.0.1"}; },
         false, "tcp must be ADDR:PORT (an IPv4 address and a port from 1 through 65535), got 10.0.0.1"},
        {"two limits out of range",
         [](RawKeyTexts&, OptionTexts& o) {
             o.deadline_ms = 0;
             o.handshake_timeout_ms = -5;
         },
         false, "handshake_timeout_ms must be an integer from 1 through 86400000"},
        // Then the raw-key rules, each before the CIDR texts are read.
        {"address without allowed_ips",
         [](RawKeyTexts& r, OptionTexts&) {
             r.address = "not a cidr";
             r.allowed_ips.clear();
         },
         false, "address and at least one allowed_ips entry must be supplied together"},
        {"ping without address",
         [](RawKeyTexts& r, OptionTexts&) {
             r.address.reset();
             r.allowed_ips.clear();
         },
         false, "data checks require address and at least one allowed_ips entry"},
        {"resolve without dns_server",
         [](RawKeyTexts& r, OptionTexts& o) {
             o.resolve = {"name.test"};
             r.address = "10.0.0.2";
         },
         false, "resolve requires an IPv4 dns_server in raw-key mode"},
        {"address without prefix", [](RawKeyTexts& r, OptionTexts&) { r.address = "10.0.0.2"; }, false,
         "address must be an IPv4 CIDR, got 10.0.0.2"},
        {"second allowed_ips entry bad",
         [](RawKeyTexts& r, OptionTexts&) { r.allowed_ips = {"10.0.0.0/24", "10.1.0.0/33"}; }, false,
         "allowed_ips entry must be an IPv4 CIDR, got 10.1.0.0/33"},
        {"IPv6 allowed_ips entry bad",
         [](RawKeyTexts& r, OptionTexts&) { r.allowed_ips = {"10.0.0.0/24", "fd00::/129"}; }, false,
         "allowed_ips entry must be an IPv6 CIDR, got fd00::/129"},
        {"address6 without prefix", [](RawKeyTexts& r, OptionTexts&) { r.address6 = "fd00::2"; }, false,
         "address6 must be an IPv6 CIDR, got fd00::2"},
        {"address6 IPv4-mapped", [](RawKeyTexts& r, OptionTexts&) { r.address6 = "::ffff:10.0.0.2/128"; }, false,
         "address6 must be an IPv6 CIDR, got ::ffff:10.0.0.2/128"},
        {"address6 alone, no allowed_ips",
         [](RawKeyTexts& r, OptionTexts&) {
             r.address.reset();
             r.address6 = "fd00::2/128";
             r.allowed_ips.clear();
         },
         false, "address and at least one allowed_ips entry must be supplied together"},
        // The key file only once every text is valid, then the plan's validation.
        {"missing key file", [](RawKeyTexts&, OptionTexts&) {}, false, missing("private key", absent)},
        {"bad peer key", [](RawKeyTexts& r, OptionTexts&) { r.peer_key = "x"; }, true,
         "PublicKey must be a base64-encoded 32-byte key"},
        {"ping outside AllowedIPs", [](RawKeyTexts&, OptionTexts& o) { o.ping = {"10.9.9.9"}; }, true,
         "ping target 10.9.9.9 is outside Peer AllowedIPs"},
        {"IPv6 ping without address6", [](RawKeyTexts&, OptionTexts& o) { o.ping = {"fd00::1"}; }, true,
         "IPv6 checks require an IPv6 Interface Address (or --address6)"},
        {"IPv6 ping outside the IPv6 allowed_ips",
         [](RawKeyTexts& r, OptionTexts& o) {
             r.address6 = "fd00::2/128";
             r.allowed_ips.push_back("fd00::/64");
             o.ping = {"fd00:1::1"};
         },
         true, "ping target fd00:1::1 is outside Peer AllowedIPs"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RawKeyTexts raw = good_raw();
        OptionTexts options = good_options();
        c.change(raw, options);
        const auto plan = plan_raw_key(c.key_file_present ? key : absent, std::move(raw), std::move(options));
        ASSERT_FALSE(plan.has_value());
        EXPECT_EQ(plan.error(), c.message);
    }

    // The configuration-file flow also reads its options before the file.
    OptionTexts options;
    options.dns_server = "::1";
    const auto plan = plan_config_file(absent, std::move(options));
    ASSERT_FALSE(plan.has_value());
    EXPECT_EQ(plan.error(), "dns_server must be an IPv4 address, got ::1");
    EXPECT_EQ(plan_config_file(absent, {}).error(), missing("configuration", absent));
}

TEST_F(InputFiles, RawKeyPlanCarriesEveryArgument) {
    const std::string key = write("private.key", " " + std::string(alice_private) + "\r\n");
    RawKeyTexts raw = good_raw();
    raw.allowed_ips = {"192.0.2.0/24", "10.0.0.0/24"};
    OptionTexts options;
    options.ping = {"10.0.0.1", "10.0.0.1"};
    options.resolve = {"name.test"};
    options.dns_server = "192.0.2.53";
    options.handshake_timeout_ms = 11;
    options.ping_timeout_ms = 12;
    options.dns_timeout_ms = 13;
    options.deadline_ms = 14;
    const auto plan = plan_raw_key(key, std::move(raw), std::move(options));
    ASSERT_TRUE(plan.has_value()) << plan.error();
    EXPECT_EQ(plan->config.client_public_key(), alice_public);
    EXPECT_EQ(plan->config.address->to_text(), "10.0.0.2/32");
    ASSERT_EQ(plan->config.allowed_ips.size(), 2u);
    EXPECT_EQ(plan->config.allowed_ips[0].to_text(), "192.0.2.0/24") << "in the caller's order";
    EXPECT_EQ(plan->ping.size(), 2u) << "duplicates are kept";
    EXPECT_EQ(plan->dns_server->to_text(), "192.0.2.53");
    const Duration limits[] = {plan->handshake_timeout, plan->ping_timeout, plan->dns_timeout, plan->overall_deadline};
    for (std::uint64_t i = 0; i < 4; ++i) EXPECT_EQ(limits[i].as_millis(), 11 + i);
}

TEST(ParseTcpTarget, PlainAddressAndPortOnly) {
    const struct {
        std::string_view text;
        std::optional<std::uint16_t> port;  // nullopt: refused
    } cases[] = {
        {"10.0.0.1:443", 443}, {"10.0.0.1:1", 1},      {"10.0.0.1:65535", 65535}, {"10.0.0.1:0", std::nullopt},
        {"10.0.0.1:65536", std::nullopt}, {"10.0.0.1:080", std::nullopt}, {"10.0.0.1:+80", std::nullopt},
        {"10.0.0.1:", std::nullopt},    {"10.0.0.1", std::nullopt},     {":80", std::nullopt},
        {"10.0.0.1:80 ", std::nullopt}, {"[::1]:80", std::nullopt},     {"host.test:80", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto target = parse_tcp_target(c.text, "--tcp");
        ASSERT_EQ(target.has_value(), c.port.has_value()) << c.text;
        if (target) {
            EXPECT_EQ(target->to_text(), "10.0.0.1:" + std::to_string(*c.port)) << c.text;
        } else {
            EXPECT_TRUE(target.error().starts_with("--tcp must be ADDR:PORT")) << c.text;
        }
    }
}

}  // namespace
}  // namespace quorlin::input
