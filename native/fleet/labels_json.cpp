#include "fleet/labels_json.hpp"

#include "probe/report_json.hpp"

namespace quorlin::fleet {

void append_labels_json(std::string& out, std::span<const Label> labels) {
    out.push_back('{');
    for (const Label& label : labels) {
        if (&label != &labels.front()) out.push_back(',');
        append_json_string(out, label.name);
        out.push_back(':');
        append_json_string(out, label.value);
    }
    out.push_back('}');
}

}  // namespace quorlin::fleet
