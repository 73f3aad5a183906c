#include "probe/report_json.hpp"

#include "common/utf8.hpp"

#include <charconv>
#include <cstdint>

namespace quorlin {

namespace {

void append_unsigned(std::string& out, std::uint64_t value) {
    char digits[20];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

void append_optional_address(std::string& out, const std::optional<SocketAddress>& address) {
    if (address) {
        append_json_string(out, address->to_text());
    } else {
        out += "null";
    }
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    std::size_t at = 0;
    while (at < text.size()) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte >= 0x80) {
            const DecodedCharacter decoded = decode_utf8(text, at);
            if (decoded.valid) {
                out.append(text.substr(at, decoded.length));
            } else {
                append_utf8(out, replacement_character);
            }
            at += decoded.length;
            continue;
        }
        switch (byte) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (byte < 0x20) {
                    out += "\\u00";
                    out += kHex[byte >> 4];
                    out += kHex[byte & 0x0F];
                } else {
                    out += static_cast<char>(byte);
                }
        }
        ++at;
    }
    out += '"';
}

void append_json(std::string& out, const PhaseResult& phase) {
    out += "{\"phase\":";
    append_json_string(out, phase.phase);
    if (phase.target) {
        out += ",\"target\":";
        append_json_string(out, *phase.target);
    }
    out += ",\"status\":";
    append_json_string(out, status_text(phase.status));
    out += ",\"duration_ms\":";
    append_unsigned(out, phase.duration_ms);
    out += ",\"sent_bytes\":";
    append_unsigned(out, phase.sent_bytes);
    out += ",\"received_bytes\":";
    append_unsigned(out, phase.received_bytes);
    if (phase.detail) {
        out += ",\"detail\":";
        append_json_string(out, *phase.detail);
    }
    out += '}';
}

void append_json(std::string& out, const ProbeReport& report) {
    out += "{\"schema_version\":";
    append_unsigned(out, report.schema_version);
    out += ",\"verdict\":";
    append_json_string(out, verdict_text(report.verdict));
    out += ",\"endpoint\":";
    append_json_string(out, report.endpoint);
    out += ",\"resolved_endpoint\":";
    append_optional_address(out, report.resolved_endpoint);
    out += ",\"local_udp_address\":";
    append_optional_address(out, report.local_udp_address);
    out += ",\"client_public_key\":";
    append_json_string(out, report.client_public_key);
    out += ",\"duration_ms\":";
    append_unsigned(out, report.duration_ms);
    out += ",\"sent_bytes\":";
    append_unsigned(out, report.sent_bytes);
    out += ",\"received_bytes\":";
    append_unsigned(out, report.received_bytes);
    out += ",\"phases\":[";
    for (std::size_t i = 0; i < report.phases.size(); ++i) {
        if (i != 0) out += ',';
        append_json(out, report.phases[i]);
    }
    out += "]}";
}

std::string to_json(const ProbeReport& report) {
    std::string out;
    out.reserve(128 + 128 * report.phases.size());
    append_json(out, report);
    return out;
}

std::string to_json(const PhaseResult& phase) {
    std::string out;
    out.reserve(128);
    append_json(out, phase);
    return out;
}

}  // namespace quorlin
