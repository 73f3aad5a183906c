#include "command/command_line.hpp"

#include "common/version.hpp"
#include "probe/assessment.hpp"

#include <CLI/CLI.hpp>

#include <utility>

namespace quorlin::command {

const std::string_view usage_text =
    "usage: quorlin [OPTIONS] CONFIG\n"
    "       quorlin [OPTIONS] --private-key-file FILE --peer-key KEY --endpoint HOST:PORT\n"
    "               [--address CIDR] [--address6 CIDR] [--allowed-ip CIDR ...]\n"
    "       quorlin fleet [OPTIONS] FLEET.toml [--target NAME ...]\n"
    "       quorlin exporter --fleet FLEET.toml [--listen ADDRESS:PORT] [OPTIONS]\n";

namespace {

constexpr std::string_view description =
    "Probe a WireGuard endpoint: does the peer hold the expected key, and does traffic flow through the tunnel?";

constexpr std::string_view exit_status_heading = "Exit status (the monitoring-plugin convention):\n";

// Options before the word fleet or exporter are the single probe's: refused with it.
std::optional<std::string> options_before(const CLI::App& app, std::string_view subcommand) {
    for (const CLI::Option* option : app.get_options()) {
        if (option->count() > 0) return option->get_name() + " cannot be given before " + std::string(subcommand);
    }
    return std::nullopt;
}

// CLI11 words a clash of two options "A excludes B"; ours is the wording of
// the mode rules.
std::string clash_message(std::string_view cli11_text) {
    constexpr std::string_view excludes = " excludes ";
    const std::size_t at = cli11_text.find(excludes);
    if (at == std::string_view::npos) return std::string(cli11_text);
    return std::string(cli11_text.substr(0, at)) + " cannot be combined with " +
           std::string(cli11_text.substr(at + excludes.size()));
}

}  // namespace

ParsedCommandLine parse_command_line(int argc, const char* const* argv) {
    CLI::App app{std::string(description), "quorlin"};
    app.footer(std::string(exit_status_heading) + std::string(state_rule_text));
    // As with most commands, a repeated single-value option takes the last value.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.set_version_flag("-V,--version", "quorlin " + std::string(version), "print the version and exit");

    ProbeRequest request;
    OutputTexts output;
    const RawKeyOptions raw = add_probe_options(app, request.probe);
    add_output_options(app, output);
    FleetTexts fleet_texts;
    const CLI::App* fleet = add_fleet_subcommand(app, fleet_texts);
    ExporterTexts exporter_texts;
    const CLI::App* exporter = add_exporter_subcommand(app, exporter_texts);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForVersion& printed) {
        return Informational{std::string(printed.what()) + "\n"};
    } catch (const CLI::CallForHelp&) {
        return Informational{app.help()};
    } catch (const CLI::ExcludesError& error) {
        return UsageFailure{clash_message(error.what())};
    } catch (const CLI::ParseError& error) {
        return UsageFailure{error.what()};
    }
    if (fleet->parsed()) {
        if (auto error = options_before(app, "fleet")) return UsageFailure{std::move(*error)};
        auto fleet_request_or_error = fleet_request(std::move(fleet_texts));
        if (!fleet_request_or_error) return UsageFailure{std::move(fleet_request_or_error.error())};
        return std::move(*fleet_request_or_error);
    }
    if (exporter->parsed()) {
        if (auto error = options_before(app, "exporter")) return UsageFailure{std::move(*error)};
        auto exporter_request_or_error = exporter_request(exporter_texts);
        if (!exporter_request_or_error) return UsageFailure{std::move(exporter_request_or_error.error())};
        return std::move(*exporter_request_or_error);
    }
    if (auto error = probe_mode_error(request.probe, raw)) return UsageFailure{std::move(*error)};
    if (auto error = deadline_clash(app)) return UsageFailure{std::move(*error)};
    auto output_or_error = output_arguments(output);
    if (!output_or_error) return UsageFailure{std::move(output_or_error.error())};
    request.output = *output_or_error;
    return request;
}

}  // namespace quorlin::command
