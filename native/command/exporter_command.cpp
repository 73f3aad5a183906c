#include "command/exporter_command.hpp"

#include "command/fd_writes.hpp"
#include "command/report_table.hpp"
#include "exporter/exporter.hpp"

namespace quorlin::command {

// The command line has been read already: the request holds all of it.
CommandEnd run_exporter_command(const ExporterRequest& request, const char* const* /*argv*/) {
    // Only the command line has been read so far: no thread exists yet.
    exporter::block_exporter_signals();
    const exporter::LogSink log = [](std::string_view line) { print_error(line); };
    // The debug answer: the table with the threshold lines that set the state.
    const exporter::ReportText report_text = [](const ProbeReport& report, const Thresholds& thresholds) {
        return report_table(report, assess(report, thresholds));
    };
    const auto served = exporter::run_exporter(request.settings, report_text, log);
    if (!served) {
        print_error(served.error());
        return {unknown_exit_status, false};
    }
    return {0, false};
}

}  // namespace quorlin::command
