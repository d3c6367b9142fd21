// The network's collector: pulls every station's new rows into its copy on
// the central server. One kept TLS connection per station (its read-only
// account, certificate verified) and one kept local connection per station
// through that station's insert-only account; rows are read one at a time
// and stored as bound parameters of prepared statements. A fixed pool of
// workers takes the stations of a round; a station whose fetch still runs
// when the next round starts is skipped for that round. The outcome of
// every fetch goes to UlmetNetwork.station_status (account ulmet_collector,
// UPDATE on that table only) and to a Prometheus text file.
#ifndef ULMET_NETWORK_COLLECTOR_H
#define ULMET_NETWORK_COLLECTOR_H

#include "network/CollectorRules.h"

namespace collector {

// Runs one round (options.every == 0) or rounds until SIGTERM or SIGINT.
// Exit status: 0, 1 when the central server cannot be used at all in a
// single round, 3 when a station's fetch failed in a single round.
int run(const Options& options);

}  // namespace collector

#endif
