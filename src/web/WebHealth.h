// The station's health as the database alone tells it: whether it can be
// reached, the newest satellite row and its age, the newest IPWV and its
// age, and how many of the last hour's whole minutes have no IPWV. The
// figures that need the station machine itself (spool, clock, free space)
// are not here; this one function is what the web pages call, so it can
// be replaced by the station's shared health module.
#ifndef ULMET_WEBHEALTH_H
#define ULMET_WEBHEALTH_H

#include <ctime>
#include <string>

struct DbHealth {
    bool reachable = false;
    std::string error;        // why not, when not reachable
    std::string lastRowTime;  // newest troposphericDelay time as stored, "" when none
    long lastRowAgeSeconds = -1;
    std::string lastIpwvTime;  // newest ipwv time as stored, "" when none
    double lastIpwv = 0;       // cm, valid when lastIpwvTime is not empty
    long lastIpwvAgeSeconds = -1;
    int missingIpwvMinutes = 0;  // of the 60 whole minutes before the minute of `now`
};

// Reads the figures from the station's tables (in `schema` when not
// empty); ages are counted from `now` (UTC, the stored times' scale).
DbHealth databaseHealth(const std::string& schema, time_t now);

#endif
