// The fleet file reader on real files: every kind of refusal once, with its
// position, and what an accepted file gives each target.
#include "fleet/fleet_file.hpp"
#include "fleet/target_probe.hpp"
#include "fleet_test_support.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace quorlin::fleet {
namespace {

using test::FleetFolder;

// The text with {dir}, {peer} and {other} filled in.
std::string filled(std::string text, const FleetFolder& folder) {
    const std::pair<std::string, std::string> fields[] = {
        {"{dir}", folder.path()}, {"{peer}", std::string(test::peer_key)}, {"{other}", std::string(test::other_peer_key)}};
    for (const auto& [field, value] : fields) {
        for (std::size_t at = text.find(field); at != std::string::npos; at = text.find(field, at + value.size())) {
            text.replace(at, field.size(), value);
        }
    }
    return text;
}

TEST(FleetFileRefusals, OneLineWithPositionAndTarget) {
    const FleetFolder folder;
    const struct {
        const char* label;
        const char* text;
        const char* line;
    } cases[] = {
        {"syntax", "[[target]]\nname = \"a\"\nping = [\"10.0.0.1\"\nconfig = \"wg0.conf\"\n",
         "f.toml:4:1: invalid TOML: Error while parsing array: expected comma or closing ']', saw 'c'"},
        // (A character the TOML reader once could not classify; see fleet_toml.cpp.)
        {"non-ASCII outside a string", "# café\n[[target]]\nname = \"a\"\nconfig = \"wg0.conf\"\nlabels = { ré = \"é\" }\n",
         "f.toml:5:13: invalid TOML: Error while parsing key-value pair: expected '=', saw 'é'"},
        {"unknown key", "[[target]]\nname = \"a\"\nconfig = \"wg0.conf\"\nhandshake_timout_ms = 500\n",
         "f.toml:4:1: target \"a\": unknown key \"handshake_timout_ms\""},
        {"unknown key in defaults", "[defaults]\nping_timeout = 5\n",
         "f.toml:2:1: unknown key \"ping_timeout\" in [defaults]"},
        {"unknown table", "[target_defaults]\n",
         "f.toml:1:2: unknown key \"target_defaults\": a fleet file holds [defaults] and [[target]] tables"},
        {"key material as a default", "[defaults]\nprivate_key_file = \"client.key\"\n",
         "f.toml:2:1: private_key_file cannot be set in [defaults]"},
        {"type", "[[target]]\nname = \"a\"\nconfig = \"wg0.conf\"\ndeadline_ms = \"5000\"\n",
         "f.toml:4:15: target \"a\": deadline_ms must be an integer, got string"},
        {"type of a list entry", "[[target]]\nname = \"a\"\nconfig = \"wg0.conf\"\nping = [\"10.0.0.1\", 7]\n",
         "f.toml:4:21: target \"a\": ping must be an array of strings, got integer"},
        {"one [target] table", "[target]\nname = \"a\"\n",
         "f.toml:1:1: target must be an array of tables (each one [[target]]), got table"},
        {"label value", "[[target]]\nname = \"a\"\nconfig = \"wg0.conf\"\nlabels = { region = 1 }\n",
         "f.toml:4:21: target \"a\": label \"region\" must be a string, got integer"},
        {"label name", "[[target]]\nname = \"a\"\nconfig = \"wg0.conf\"\nlabels.__name__ = \"x\"\n",
         "f.toml:4:8: target \"a\": label name \"__name__\" must not start with \"__\""},
        {"name", "[[target]]\nname = \"fra 1\"\nconfig = \"wg0.conf\"\n",
         "f.toml:2:8: target #1: name must be letters, digits, '.', '_' or '-', got \"fra 1\""},
        {"name missing", "[[target]]\nname = \"a\"\nconfig = \"wg0.conf\"\n\n[[target]]\nconfig = \"wg0.conf\"\n",
         "f.toml:5:1: target #2: name is required"},
        {"duplicate name",
         "[[target]]\nname = \"a\"\nconfig = \"wg0.conf\"\n\n[[target]]\nname = \"a\"\nconfig = \"wg0.conf\"\n",
         "f.toml:6:8: target \"a\": duplicate name, first used at line 2"},
        {"both modes", "[[target]]\nname = \"a\"\nconfig = \"wg0.conf\"\nprivate_key_file = \"client.key\"\n",
         "f.toml:4:20: target \"a\": private_key_file cannot be combined with config"},
        {"neither mode", "[[target]]\nname = \"a\"\npeer_key = \"{peer}\"\n",
         "f.toml:1:1: target \"a\": give config, or private_key_file, endpoint"},
        {"no targets", "[defaults]\nping = [\"10.0.0.1\"]\n",
         "f.toml: no targets: a fleet file holds one [[target]] table per target"},
        // The single probe's own rules and messages, pointing at what they refuse.
        {"option from the defaults", "[defaults]\nping = [\"10.0.0.1\", \"10.0.0.256\"]\n\n"
                                     "[[target]]\nname = \"a\"\nconfig = \"wg0.conf\"\n",
         "f.toml:2:21: target \"a\": ping target must be an IPv4 address, got 10.0.0.256"},
        {"limit", "[[target]]\nname = \"a\"\nconfig = \"wg0.conf\"\ndeadline_ms = 90000000\n",
         "f.toml:4:15: target \"a\": deadline_ms must be an integer from 1 through 86400000"},
        {"echo count", "[[target]]\nname = \"a\"\nconfig = \"wg0.conf\"\nping_count = 101\n",
         "f.toml:4:14: target \"a\": ping_count must be an integer from 1 through 100"},
        {"MTU check flag", "[defaults]\nmtu_check = 1\n\n[[target]]\nname = \"a\"\nconfig = \"wg0.conf\"\n",
         "f.toml:2:13: mtu_check must be true or false, got integer"},
        {"ping threshold", "[[target]]\nname = \"a\"\nconfig = \"wg0.conf\"\nping_critical = \"500,20\"\n",
         "f.toml:4:17: target \"a\": ping_critical must be RTA_MS,LOSS% (for example 100,20%), got 500,20"},
        {"ping warning above critical", "[defaults]\nping_warning = \"50,30%\"\n[[target]]\nname = \"a\"\n"
         "config = \"wg0.conf\"\nping_critical = \"100,20%\"\n",
         "f.toml:2:16: target \"a\": ping_warning 50,30% is above ping_critical 100,20%"},
        {"raw-key rule",
         "[[target]]\nname = \"a\"\nprivate_key_file = \"client.key\"\npeer_key = \"{peer}\"\n"
         "endpoint = \"127.0.0.1:9\"\naddress = \"10.0.0.2/32\"\n",
         "f.toml:6:11: target \"a\": address and at least one allowed_ips entry must be supplied together"},
        {"missing file", "[[target]]\nname = \"a\"\nconfig = \"missing.conf\"\n",
         "f.toml:3:10: target \"a\": could not inspect configuration file {dir}/missing.conf: "
         "No such file or directory (os error 2)"},
        {"key file that holds no key",
         "[[target]]\nname = \"a\"\nprivate_key_file = \"wg0.conf\"\npeer_key = \"{peer}\"\nendpoint = \"127.0.0.1:9\"\n",
         "f.toml:3:20: target \"a\": PrivateKey must be a base64-encoded 32-byte key"},
    };
    for (const auto& c : cases) {
        const auto fleet = read_fleet(filled(c.text, folder), folder.path());
        ASSERT_FALSE(fleet) << c.label;
        EXPECT_EQ(refusal_text(fleet.error(), "f.toml"), filled(c.line, folder)) << c.label;
    }
}

// A refusal points at the value it is about, in the target's table or in
// [defaults], and names it by the fleet file's own key; a value read from a
// file the target names points at that file.
TEST(FleetFileRefusals, PointAtTheValueRefused) {
    const FleetFolder folder;
    folder.write("port0.conf", "[Interface]\nPrivateKey = " + std::string(test::private_key) +
                                   "\n[Peer]\nPublicKey = " + std::string(test::peer_key) + "\nEndpoint = 127.0.0.1:0\n");
    std::filesystem::create_symlink(folder.file("gone.conf"), folder.file("dangling.conf"));
    std::filesystem::create_symlink(folder.file("loop.key"), folder.file("loop.key"));
    std::filesystem::create_directory(folder.file("folder.conf"));
    std::filesystem::create_symlink(folder.file("folder.conf"), folder.file("linked.conf"));
    const std::string raw = "[[target]]\nname = \"a\"\nprivate_key_file = \"client.key\"\npeer_key = \"{peer}\"\n";
    const struct {
        const char* label;
        std::string text;
        const char* line;
    } cases[] = {
        {"peer key", "[[target]]\nname = \"a\"\nprivate_key_file = \"client.key\"\nendpoint = \"127.0.0.1:9\"\n"
                     "peer_key = \"CWAsycgZwaxgamcVgA1vv/wFHEqT2hvk78xiGhtzqw=\"\n",
         "f.toml:5:12: target \"a\": peer_key must be a base64-encoded 32-byte key"},
        {"ping from the defaults", "[defaults]\nping = [\"10.0.0.1\", \"10.1.0.1\"]\n\n[[target]]\nname = \"a\"\nconfig = \"wg0.conf\"\n",
         "f.toml:2:21: target \"a\": ping target 10.1.0.1 is outside Peer AllowedIPs"},
        {"IPv6 ping without the configuration's IPv6 side",
         "[[target]]\nname = \"a\"\nconfig = \"wg0.conf\"\nping = [\"10.0.0.1\", \"fd00::1\"]\n",
         "f.toml:4:21: target \"a\": IPv6 checks require an IPv6 Interface Address (or --address6)"},
        {"DNS server from the defaults",
         "[defaults]\ndns_server = \"10.2.0.1\"\n\n[[target]]\nname = \"a\"\nconfig = \"wg0.conf\"\nresolve = [\"ok.test\"]\n",
         "f.toml:2:14: target \"a\": DNS server 10.2.0.1 is outside Peer AllowedIPs"},
        {"DNS name", "[[target]]\nname = \"a\"\nconfig = \"wg0.conf\"\nresolve = [\"ok.test\", \"x..y\"]\n",
         "f.toml:4:23: target \"a\": invalid DNS name x..y: DNS labels must contain 1 to 63 ASCII characters"},
        {"allowed_ips entry", raw + "endpoint = \"127.0.0.1:9\"\naddress = \"10.0.0.2/32\"\n"
                                    "allowed_ips = [\"10.0.0.0/24\", \"10.0.0.0/33\"]\n",
         "f.toml:7:31: target \"a\": allowed_ips entry must be an IPv4 CIDR, got 10.0.0.0/33"},
        {"resolve without a DNS server", raw + "endpoint = \"127.0.0.1:9\"\naddress = \"10.0.0.2/32\"\n"
                                               "allowed_ips = [\"10.0.0.0/24\"]\nresolve = [\"ok.test\"]\n",
         "f.toml:8:11: target \"a\": resolve requires an IPv4 dns_server in raw-key mode"},
        {"endpoint port", raw + "endpoint = \"127.0.0.1:99999\"\n",
         "f.toml:5:12: target \"a\": endpoint port must be an integer from 1 through 65535, got 127.0.0.1:99999"},
        {"endpoint host from the defaults", "[defaults]\nendpoint = \":51820\"\n\n" + raw,
         "f.toml:2:12: target \"a\": endpoint must name a host before the port, got :51820"},
        {"configuration's endpoint", "[[target]]\nname = \"a\"\nconfig = \"port0.conf\"\n",
         "f.toml:3:10: target \"a\": Peer Endpoint port must be an integer from 1 through 65535, got 127.0.0.1:0"},
        {"dangling link", "[[target]]\nname = \"a\"\nconfig = \"dangling.conf\"\n",
         "f.toml:3:10: target \"a\": configuration file {dir}/dangling.conf is a link to a file that does not exist"},
        // A file is named by its path as given, never with its links resolved.
        {"link to a folder", "[[target]]\nname = \"a\"\nconfig = \"linked.conf\"\n",
         "f.toml:3:10: target \"a\": configuration path {dir}/linked.conf must be a regular file"},
        // Echoes that outlast the deadline: the count where written, else the interval, else the deadline.
        {"echo count beyond the deadline",
         "[defaults]\ndeadline_ms = 2000\n\n[[target]]\nname = \"a\"\nconfig = \"wg0.conf\"\nping = [\"10.0.0.1\"]\n"
         "ping_count = 11\n",
         "f.toml:8:14: target \"a\": ping_count 11 x ping_interval_ms 200 cannot finish within deadline_ms 2000: the "
         "echoes to 1 ping target alone are spread over 2000 ms; deadline_ms 6000 would fit the worst case: "
         "handshake_timeout_ms 3000 + 3000 ms of echoes (the last to each target within ping_timeout_ms 1000)"},
        {"a target's own deadline below the echoes of the defaults",
         "[defaults]\nping_count = 5\nping = [\"10.0.0.1\", \"10.0.0.2\"]\n\n[[target]]\nname = \"a\"\n"
         "config = \"wg0.conf\"\nmtu_check = true\nresolve = [\"ok.test\"]\ndeadline_ms = 1600\n",
         "f.toml:10:15: target \"a\": ping_count 5 x ping_interval_ms 200 cannot finish within deadline_ms 1600: the "
         "echoes to 2 ping targets alone are spread over 1600 ms; deadline_ms 16600 would fit the worst case: "
         "handshake_timeout_ms 3000 + 3600 ms of echoes (the last to each target within ping_timeout_ms 1000) + "
         "1 x dns_timeout_ms 2000 + 8 sizes of the MTU search x ping_timeout_ms 1000"},
        {"link loop", "[[target]]\nname = \"a\"\nprivate_key_file = \"loop.key\"\npeer_key = \"{peer}\"\n"
                      "endpoint = \"127.0.0.1:9\"\n",
         "f.toml:3:20: target \"a\": private key file {dir}/loop.key is a link loop: "
         "Too many levels of symbolic links (os error 40)"},
    };
    for (const auto& c : cases) {
        const auto fleet = read_fleet(filled(c.text, folder), folder.path());
        ASSERT_FALSE(fleet) << c.label;
        EXPECT_EQ(refusal_text(fleet.error(), "f.toml"), filled(c.line, folder)) << c.label;
    }
}

TEST(FleetFile, DefaultsModesPathsAndKeyPairs) {
    const FleetFolder folder;
    std::filesystem::create_directory(folder.file("keys"));
    std::filesystem::create_symlink(folder.file("client.key"), folder.file("keys/monitor.key"));
    std::filesystem::create_directory(folder.file("real"));
    folder.write("real/fleet.toml", filled(R"([defaults]
ping = ["10.0.0.1"]
deadline_ms = 5000
endpoint = "127.0.0.1:9"
labels = { region = "eu" }

[[target]]
name = "conf"
config = "wg0.conf"
labels = { site = "dc1", region = "us", city = """\
    Île-de-France""" }

[[target]]
name = "raw.linked"
private_key_file = "keys/monitor.key"
peer_key = "{peer}"
address = "10.0.0.2/32"
allowed_ips = ["10.0.0.0/24"]
ping = []
resolve = ["ok.test"]
dns_server = "10.0.0.1"

[[target]]
name = "other-peer"
private_key_file = "{dir}/client.key"
peer_key = "{other}"
ping = []
)", folder));
    // Read through a link in the folder: relative paths are taken from the
    // folder the fleet file is named in.
    std::filesystem::create_symlink(folder.file("real/fleet.toml"), folder.file("fleet.toml"));

    const auto fleet = load_fleet_file(folder.file("fleet.toml"));
    ASSERT_TRUE(fleet) << fleet.error();
    const auto targets = fleet->targets();
    ASSERT_EQ(targets.size(), 3u);
    const FleetTarget& conf = targets[0];
    const FleetTarget& raw = targets[1];
    EXPECT_EQ(fleet->find("raw.linked"), &raw);
    EXPECT_EQ(fleet->find("raw"), nullptr);

    EXPECT_EQ(std::get<ConfigFileMode>(conf.mode).path, folder.file("wg0.conf"));
    EXPECT_EQ(conf.options.ping, std::vector<std::string>{"10.0.0.1"});
    EXPECT_EQ(conf.options.deadline_ms, 5000);
    EXPECT_EQ(conf.options.handshake_timeout_ms, input::default_handshake_timeout_ms);
    // A list or table of the target's own replaces the default whole.
    EXPECT_EQ(conf.labels, (std::vector<Label>{{"city", "Île-de-France"}, {"region", "us"}, {"site", "dc1"}}));
    EXPECT_EQ(raw.labels, (std::vector<Label>{{"region", "eu"}}));
    EXPECT_TRUE(raw.options.ping.empty());
    EXPECT_FALSE(raw.options.resolve.empty());

    const auto& raw_mode = std::get<RawKeyMode>(raw.mode);
    EXPECT_EQ(raw_mode.private_key_file, folder.file("keys/monitor.key"));  // kept as named
    EXPECT_EQ(raw_mode.texts.endpoint, "127.0.0.1:9");
    EXPECT_EQ(raw_mode.texts.allowed_ips, std::vector<std::string>{"10.0.0.0/24"});

    // The same client and peer key, by a configuration file or by raw keys.
    EXPECT_EQ(conf.key_identity, raw.key_identity);
    EXPECT_NE(targets[2].key_identity, conf.key_identity);
    EXPECT_EQ(fleet->key_identity_count(), 2u);
}

TEST(FleetTargetProbe, PlansFromTheFilesAsTheyAreNow) {
    const FleetFolder folder;
    std::filesystem::create_symlink(folder.file("client.key"), folder.file("monitor.key"));
    const auto fleet = read_fleet(filled(R"([[target]]
name = "conf"
config = "wg0.conf"
ping = ["10.0.0.1"]
ping_count = 10

[[target]]
name = "linked"
private_key_file = "monitor.key"
peer_key = "{peer}"
endpoint = "127.0.0.1:9"
)", folder), folder.path());
    ASSERT_TRUE(fleet) << refusal_text(fleet.error(), "f.toml");
    const FleetTarget& conf = fleet->targets()[0];
    const FleetTarget& linked = fleet->targets()[1];

    // A cap lowers the overall deadline, and every limit with it. The target
    // fits its own deadline; a scrape's shorter time is no refusal, though its
    // 10 echoes span 1800 ms: the probe runs what fits.
    const auto capped = plan_target(conf, 1500);
    ASSERT_TRUE(capped) << capped.error().message;
    EXPECT_EQ(capped->overall_deadline, Duration::from_millis(1500));
    EXPECT_EQ(capped->handshake_timeout, Duration::from_millis(1500));
    EXPECT_EQ(capped->ping_timeout, Duration::from_millis(1000));
    EXPECT_EQ(capped->dns_timeout, Duration::from_millis(1500));

    // A mounted secret is replaced by pointing its link elsewhere: the next
    // probe reads the new key.
    folder.write("rotated.key", std::string(test_keys::bob_private) + "\n");
    std::filesystem::remove(folder.file("monitor.key"));
    std::filesystem::create_symlink(folder.file("rotated.key"), folder.file("monitor.key"));
    const auto rotated = plan_target(linked);
    ASSERT_TRUE(rotated) << rotated.error().message;
    EXPECT_EQ(rotated->config.client_public_key(), test_keys::bob_public);

    // A file that no longer passes is the probe's refusal, with the single
    // probe's message.
    std::filesystem::remove(folder.file("wg0.conf"));
    const auto refused = probe_target(conf);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), "could not inspect configuration file " + folder.file("wg0.conf") +
                                   ": No such file or directory (os error 2)");
}

}  // namespace
}  // namespace quorlin::fleet
