#pragma once
// The answers that describe the fleet rather than probe it. Only target names
// and labels appear in them: never a path, a key or a file's contents.

#include "fleet/fleet.hpp"

#include <string>
#include <string_view>

namespace quorlin::exporter {

// /targets, for Prometheus' HTTP service discovery: one group per target,
//   [{"targets":["NAME"],"labels":{"region":"eu-central"}},...]
// so that the target's name becomes the address Prometheus probes by.
inline constexpr std::string_view targets_content_type = "application/json";
std::string targets_json(const fleet::Fleet& fleet);

// /: a small page listing the targets, linked to their probes, and /metrics.
inline constexpr std::string_view index_content_type = "text/html; charset=utf-8";
std::string index_html(const fleet::Fleet& fleet);

}  // namespace quorlin::exporter
