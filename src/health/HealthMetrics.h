// The retrieval's metrics file: the run's outcome and the database's
// figures of the station's health, in the Prometheus text of Metrics.h.
#ifndef ULMET_HEALTHMETRICS_H
#define ULMET_HEALTHMETRICS_H

#include <string>

#include "health/HealthCollect.h"

namespace metrics {

// The retrieval's run and the database's figures (collectDatabase).
std::string retrievalText(bool runSucceeded, const health::Figures& figures);

// After a retrieval run: the database's figures collected and mistrel.prom
// written into ULMET_METRICS_DIR, when it is set (a failure is printed).
void writeRetrievalFile(bool runSucceeded);

}  // namespace metrics

#endif
