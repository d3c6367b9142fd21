#include "health/HealthMetrics.h"

#include <cmath>
#include <ctime>
#include <iostream>

#include "Metrics.h"

namespace metrics {

std::string retrievalText(bool runSucceeded, const health::Figures& f) {
    Text t;
    t.add("ulmet_mistrel_last_run_timestamp_seconds", "gauge", "When the last retrieval ran.",
          f.now);
    t.add("ulmet_mistrel_last_run_success", "gauge",
          "1 when the last retrieval computed its minute, 0 when it failed.", runSucceeded ? 1 : 0);
    t.add("ulmet_database_up", "gauge", "1 when the database answered.", f.databaseAnswers ? 1 : 0);
    if (!f.databaseAnswers) return t.str();
    const double nan = std::nan("");
    bool known = f.lastIpwvTime >= 0;
    t.add("ulmet_ipwv_last_cm", "gauge", "The last IPWV stored (cm).", known ? f.lastIpwv : nan);
    t.add("ulmet_ipwv_last_sigma_cm", "gauge", "Its uncertainty (cm; NaN when unknown).",
          known && f.lastIpwvSigmaKnown ? f.lastIpwvSigma : nan);
    t.add("ulmet_ipwv_last_timestamp_seconds", "gauge", "The minute of the last IPWV stored.",
          known ? f.lastIpwvTime : nan);
    t.add("ulmet_ipwv_missing_minutes_last_hour", "gauge",
          "Minutes of the last hour without IPWV (since the first stored row).",
          static_cast<double>(f.minutesWithoutIpwvLastHour));
    t.add("ulmet_ipwv_recomputable_minutes_last_hour", "gauge",
          "Of them, minutes whose inputs are stored (ulmet-retrieve can fill them).",
          static_cast<double>(f.recomputable.size()));
    t.add("ulmet_rows_stored_last_hour", "gauge", "troposphericDelay rows of the last hour.",
          static_cast<double>(f.rowsStoredLastHour));
    return t.str();
}

void writeRetrievalFile(bool runSucceeded) {
    std::string dir = directory("");
    if (dir.empty()) return;
    health::Figures figures;
    figures.now = static_cast<double>(time(nullptr));
    health::collectDatabase(&figures);
    std::string error, path = dir + "/mistrel.prom";
    if (!writeFile(path, retrievalText(runSucceeded, figures), &error))
        std::cout << "Metrics file " << path << " cannot be written (" << error << ")."
                  << std::endl;
}

}  // namespace metrics
