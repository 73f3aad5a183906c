#pragma once
// The report's one serialised form: compact JSON, fixed key order, schema
// version 1. Writing cannot fail for any report or phase value.

#include "probe/report.hpp"

#include <string>
#include <string_view>

namespace quorlin {

// Append the JSON object to `out`.
void append_json(std::string& out, const ProbeReport& report);
void append_json(std::string& out, const PhaseResult& phase);

// The JSON object as a new text.
std::string to_json(const ProbeReport& report);
std::string to_json(const PhaseResult& phase);

// A JSON string literal (quotes included) for `text`, appended to `out`.
// Text is taken as UTF-8 and passed through raw; a byte sequence that is not
// UTF-8 is written as U+FFFD (one per maximal ill-formed part, as Python
// decodes it) so the output always stays valid UTF-8 JSON.
void append_json_string(std::string& out, std::string_view text);

}  // namespace quorlin
