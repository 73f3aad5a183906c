#include "command/fleet_json_line.hpp"

#include "fleet/labels_json.hpp"
#include "probe/report_json.hpp"

namespace quorlin::command {

std::string fleet_json_line(const fleet::TargetOutcome& outcome) {
    std::string out = "{\"target\":";
    append_json_string(out, outcome.target->name);
    out += ",\"labels\":";
    fleet::append_labels_json(out, outcome.target->labels);
    out += ",";
    if (outcome.report) {
        out += "\"report\":";
        append_json(out, *outcome.report);
    } else {
        out += "\"error\":";
        append_json_string(out, outcome.report.error());
    }
    out += "}\n";
    return out;
}

}  // namespace quorlin::command
