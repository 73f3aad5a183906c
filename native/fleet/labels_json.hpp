#pragma once
// A target's labels as a JSON object, {"region":"eu","site":"dc1"}, as the
// fleet's JSON lines and the exporter's service discovery both write them.

#include "fleet/settings.hpp"

#include <span>
#include <string>

namespace quorlin::fleet {

void append_labels_json(std::string& out, std::span<const Label> labels);

}  // namespace quorlin::fleet
