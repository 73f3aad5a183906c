#include "exporter/pages.hpp"

#include "fleet/labels_json.hpp"
#include "probe/report_json.hpp"

namespace quorlin::exporter {

std::string targets_json(const fleet::Fleet& fleet) {
    std::string out = "[";
    for (const fleet::FleetTarget& target : fleet.targets()) {
        if (out.size() > 1) out += ',';
        out += "{\"targets\":[";
        append_json_string(out, target.name);
        out += "],\"labels\":";
        fleet::append_labels_json(out, target.labels);
        out += "}";
    }
    out += "]";
    return out;
}

std::string index_html(const fleet::Fleet& fleet) {
    // Target names are letters, digits, '.', '_' and '-' (the fleet file's
    // rule): nothing in them needs escaping in HTML or in a query.
    std::string out =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>quorlin exporter</title></head><body>\n"
        "<h1>quorlin exporter</h1>\n<p><a href=\"metrics\">Exporter metrics</a> &middot; "
        "<a href=\"targets\">Targets for service discovery</a></p>\n<h2>Targets</h2>\n<ul>\n";
    for (const fleet::FleetTarget& target : fleet.targets()) {
        out += "<li><a href=\"probe?target=" + target.name + "\">" + target.name + "</a></li>\n";
    }
    out += "</ul>\n</body></html>\n";
    return out;
}

}  // namespace quorlin::exporter
