#include "exporter/exporter_metrics.hpp"

#include "common/version.hpp"
#include "exporter/process_metrics.hpp"

#include <prometheus/text_serializer.h>

#include <cstddef>
#include <utility>
#include <vector>

namespace quorlin::exporter {

namespace {

prometheus::Gauge& single_gauge(prometheus::Registry& registry, const std::string& name, const std::string& help,
                                const prometheus::Labels& labels = {}) {
    return prometheus::BuildGauge().Name(name).Help(help).Register(registry).Add(labels);
}

}  // namespace

ExporterMetrics::ExporterMetrics()
    : in_flight_(single_gauge(registry_, "quorlin_exporter_probes_in_flight", "Probes running now")),
      reload_successful_(single_gauge(registry_, "quorlin_exporter_config_last_reload_successful",
                                      "1 when the last reading of the fleet file and the web configuration "
                                      "succeeded, else 0")),
      reload_success_time_(single_gauge(registry_, "quorlin_exporter_config_last_reload_success_timestamp_seconds",
                                        "When the fleet file and the web configuration were last read "
                                        "successfully, in Unix seconds")) {
    auto& probes = prometheus::BuildCounter()
                       .Name("quorlin_exporter_probes_total")
                       .Help("Probes run since the exporter started, by verdict")
                       .Register(registry_);
    // Every verdict from the start, so that a rate over them is defined before the first of each.
    for (std::size_t index = 0; index < probes_.size(); ++index) {
        probes_[index] = &probes.Add({{"verdict", std::string(verdict_text(static_cast<Verdict>(index)))}});
    }
    single_gauge(registry_, "quorlin_build_info", "Always 1; the version and the git commit built are the labels",
                 {{"version", std::string(version)}, {"revision", std::string(revision)}})
        .Set(1);
    // Kept for the queries written before quorlin_build_info.
    single_gauge(registry_, "quorlin_exporter_build_info", "Always 1; the version is the label",
                 {{"version", std::string(version)}})
        .Set(1);
}

void ExporterMetrics::probe_finished(Verdict verdict) { probes_[static_cast<std::size_t>(verdict)]->Increment(); }

void ExporterMetrics::reload_succeeded(std::chrono::system_clock::time_point when) {
    reload_successful_.Set(1);
    reload_success_time_.Set(std::chrono::duration<double>(when.time_since_epoch()).count());
}

void ExporterMetrics::reload_failed() { reload_successful_.Set(0); }

std::string ExporterMetrics::text() const {
    std::vector<prometheus::MetricFamily> families = registry_.Collect();
    for (auto& family : process_families(read_process_figures())) families.push_back(std::move(family));
    return prometheus::TextSerializer().Serialize(families);
}

}  // namespace quorlin::exporter
