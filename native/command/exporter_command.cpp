#include "command/exporter_command.hpp"

#include "command/output.hpp"
#include "command/service_state.hpp"

namespace quorlin::command {

// The command line has been read already: the request holds all of it.
CommandEnd run_exporter_command(const ExporterRequest& request, const char* const* /*argv*/) {
    // Only the command line has been read so far: no thread exists yet.
    exporter::block_exporter_signals();
    const exporter::SuccessRule is_success = [](const ProbeReport& report, bool data_checks_asked) {
        return probe_state(report, data_checks_asked, {}) == ServiceState::ok;
    };
    const exporter::LogSink log = [](std::string_view line) { print_error(line); };
    return {exporter::run_exporter(request.settings, is_success, log), false};
}

}  // namespace quorlin::command
