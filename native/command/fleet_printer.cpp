#include "command/fleet_printer.hpp"

#include "command/fd_writes.hpp"
#include "command/fleet_json_line.hpp"
#include "command/fleet_nagios_line.hpp"
#include "command/fleet_progress.hpp"
#include "command/fleet_table.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <optional>
#include <utility>

namespace quorlin::command {

namespace {

constexpr auto progress_interval = std::chrono::milliseconds(100);
constexpr std::string_view erase_line = "\r\x1b[K";

// The terminal's width, so the progress line never wraps (a wrapped line
// could not be erased in place).
std::size_t terminal_columns(int fd) {
    winsize size{};
    if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 1) return size.ws_col;
    return 80;
}

}  // namespace

FleetPrinter::FleetPrinter(OutputArguments output, std::size_t total, std::size_t name_width, bool progress,
                           std::stop_source stop)
    : output_(output),
      name_width_(name_width),
      progress_(progress),
      progress_columns_(progress ? terminal_columns(STDERR_FILENO) : 0),
      stop_(std::move(stop)) {
    tally_.total = total;
}

bool FleetPrinter::begin() {
    std::lock_guard lock(mutex_);
    if (output_.format == OutputFormat::table) write(fleet_table_header(name_width_));
    draw_progress(false);
    return !write_failed_;
}

void FleetPrinter::add(fleet::TargetOutcome outcome) {
    // Ping thresholds on the command line stand for every target; else each
    // target's own from the fleet file.
    const bool given = output_.ping_thresholds.warning || output_.ping_thresholds.critical;
    const PingThresholds& ping = given ? output_.ping_thresholds : outcome.target->ping_thresholds;
    std::optional<Assessment> assessment;
    const CertificateThresholds& given_days = output_.certificate_thresholds;
    const CertificateThresholds& days = given_days.warning_days || given_days.critical_days
                                            ? given_days
                                            : outcome.target->certificate_thresholds;
    if (outcome.report) assessment = assess(*outcome.report, Thresholds{output_.thresholds, ping, days});
    const ServiceState state = assessment ? assessment->state : ServiceState::unknown;
    std::string text;
    if (output_.format == OutputFormat::json) text = fleet_json_line(outcome);
    if (output_.format == OutputFormat::table) {
        text = fleet_table_row(outcome, name_width_, assessment ? &*assessment : nullptr);
    }

    std::lock_guard lock(mutex_);
    if (finished_) return;
    tally_.add(outcome, state);
    if (!text.empty()) write(text);
    draw_progress(true);
}

void FleetPrinter::tick() {
    std::lock_guard lock(mutex_);
    if (!finished_) draw_progress(true);
}

void FleetPrinter::notice(std::string_view message) {
    std::lock_guard lock(mutex_);
    erase_progress();
    print_error(message);
    if (!finished_) draw_progress(false);
}

int FleetPrinter::finish(std::string_view stopped_by) {
    std::lock_guard lock(mutex_);
    erase_progress();
    finished_ = true;
    const Clock::duration wall = Clock::now() - started_;
    ServiceState state = tally_.worst();
    if (!stopped_by.empty()) state = ServiceState::unknown;
    if (output_.format == OutputFormat::table) write(fleet_summary_line(tally_, wall, stopped_by));
    if (output_.format == OutputFormat::nagios) write(fleet_nagios_line(tally_, state, output_.thresholds, stopped_by));
    return exit_status(write_failed_ ? ServiceState::unknown : state);
}

void FleetPrinter::write(const std::string& text) {
    if (write_failed_) return;
    erase_progress();
    if (!print_output(text)) {
        write_failed_ = true;
        stop_.request_stop();
    }
}

void FleetPrinter::erase_progress() {
    if (!progress_shown_) return;
    (void)write_all(STDERR_FILENO, erase_line);
    progress_shown_ = false;
}

void FleetPrinter::draw_progress(bool throttled) {
    if (!progress_) return;
    const Instant now = Clock::now();
    if (throttled && progress_shown_ && now - progress_drawn_ < progress_interval) return;
    std::string line = fleet_progress_text(tally_, now - started_);
    if (line.size() >= progress_columns_) line.resize(progress_columns_ - 1);
    (void)write_all(STDERR_FILENO, std::string("\r") + line + "\x1b[K");
    progress_shown_ = true;
    progress_drawn_ = now;
}

}  // namespace quorlin::command
