#include "probe/report.hpp"

namespace quorlin {

std::string_view status_text(PhaseStatus status) noexcept {
    switch (status) {
        case PhaseStatus::passed: return "passed";
        case PhaseStatus::sent: return "sent";
        case PhaseStatus::unconfirmed: return "unconfirmed";
        case PhaseStatus::skipped: return "skipped";
        case PhaseStatus::error: return "error";
    }
    return "error";
}

std::string_view verdict_text(Verdict verdict) noexcept {
    switch (verdict) {
        case Verdict::authentication_confirmed: return "authentication_confirmed";
        case Verdict::data_plane_confirmed: return "data_plane_confirmed";
        case Verdict::unconfirmed: return "unconfirmed";
        case Verdict::local_error: return "local_error";
    }
    return "local_error";
}

std::uint64_t millis(Clock::duration span) noexcept { return Duration::from_clock(span).as_millis(); }

}  // namespace quorlin
