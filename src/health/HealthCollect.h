// The station's health figures, collected from what the station already
// has: the database, the acquisition daemon's spool and state files, and
// the units' state where systemd runs.
#ifndef ULMET_HEALTHCOLLECT_H
#define ULMET_HEALTHCOLLECT_H

#include <map>
#include <string>

#include "health/HealthFigures.h"

namespace health {

// Where the figures come from.
struct Sources {
    std::string stateDir = "/var/lib/ulmet";  // the daemon's working directory
    std::string spoolName = "corvana-spool.sql";
    std::string daemonMetrics = "corvana.prom";  // the daemon's state, in stateDir
    bool units = true;                           // ask systemd about the units if it runs
    double now = 0;                              // the time of the figures; 0: the clock's
};

// The minutes of the last hour: the 60 whole minutes that end two minutes
// before `now` (the retrieval of the minute before has run by then).
void lastHour(double now, std::string* from, std::string* to);

// The parts; collect() runs them all.
void collectDaemonState(const Sources& sources, Figures* figures);
void collectSpool(const Sources& sources, Figures* figures);
void collectDatabase(Figures* figures);
void collectUnits(Figures* figures);
Figures collect(const Sources& sources);

// "name value" lines of a metrics text (comments skipped).
std::map<std::string, double> readMetrics(const std::string& text);

}  // namespace health

#endif
