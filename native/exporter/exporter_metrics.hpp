#pragma once
// The exporter's own metrics, for /metrics (never a probe's):
//   quorlin_exporter_probes_total{verdict}   probes run, by verdict
//   quorlin_exporter_probes_in_flight        probes running now
//   quorlin_build_info{version,revision}     always 1
//   quorlin_exporter_build_info{version}     always 1 (its older name)
//   quorlin_exporter_config_last_reload_successful
//   quorlin_exporter_config_last_reload_success_timestamp_seconds
//                                            the last reading of the fleet
//                                            file and the web configuration
//   process_*                                read afresh for each text()
// Safe to update from any thread.

#include "probe/report.hpp"

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/registry.h>

#include <array>
#include <chrono>
#include <string>

namespace quorlin::exporter {

class ExporterMetrics {
public:
    ExporterMetrics();
    ExporterMetrics(const ExporterMetrics&) = delete;
    ExporterMetrics& operator=(const ExporterMetrics&) = delete;

    // Counts a running probe from construction until release.
    class InFlight {
    public:
        explicit InFlight(prometheus::Gauge& gauge) : gauge_(gauge) { gauge_.Increment(); }
        InFlight(const InFlight&) = delete;
        InFlight& operator=(const InFlight&) = delete;
        ~InFlight() { gauge_.Decrement(); }

    private:
        prometheus::Gauge& gauge_;
    };

    InFlight probe_started() { return InFlight(in_flight_); }
    void probe_finished(Verdict verdict);
    // Both files were read (at start or on SIGHUP); `when` is the wall-clock time of that.
    void reload_succeeded(std::chrono::system_clock::time_point when);
    // One of them was refused, and the configuration in use kept.
    void reload_failed();

    std::string text() const;

private:
    prometheus::Registry registry_;
    std::array<prometheus::Counter*, 4> probes_{};  // by Verdict
    prometheus::Gauge& in_flight_;
    prometheus::Gauge& reload_successful_;
    prometheus::Gauge& reload_success_time_;
};

}  // namespace quorlin::exporter
