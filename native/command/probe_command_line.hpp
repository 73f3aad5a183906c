#pragma once
// The single probe's options, which sit on the command itself:
//   quorlin [OPTIONS] CONFIG
//   quorlin [OPTIONS] --private-key-file FILE --peer-key KEY --endpoint HOST:PORT ...

#include "command/output_options.hpp"
#include "input/input_mode.hpp"
#include "input/options.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace quorlin::command {

// One probe: a configuration file, or the raw-key texts.
struct ProbeArguments {
    std::optional<std::string> config;
    std::optional<std::string> private_key_file;
    std::optional<std::string> peer_key;
    std::optional<std::string> endpoint;
    std::optional<std::string> address;
    std::vector<std::string> allowed_ips;
    std::optional<std::string> address6;
    input::OptionTexts options;
    // -t, the plugin convention: the overall deadline in whole seconds.
    std::optional<std::int64_t> timeout_s;
};

struct ProbeRequest {
    ProbeArguments probe;
    OutputArguments output;
};

// The raw-key options, in the order of input::RawKeyField, to tell which were given.
using RawKeyOptions = std::array<const CLI::Option*, input::raw_key_field_count>;

RawKeyOptions add_probe_options(CLI::App& app, ProbeArguments& probe);

// -t and --deadline-ms are one deadline: given both, the command refuses.
std::optional<std::string> deadline_clash(const CLI::App& app);

// The mode rule CLI11 cannot express (input/input_mode.hpp): CONFIG or the raw-key options.
std::optional<std::string> probe_mode_error(const ProbeArguments& probe, const RawKeyOptions& raw);

}  // namespace quorlin::command
