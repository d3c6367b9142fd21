// The network page's figures on a central server: the stations it holds
// (UlmetNetwork.stations, each station's copy in UlmetDB_<name>), the
// state of each station's transfer (UlmetNetwork.network_status, kept by
// `ulmet-network sync`) and each copy's health,
// the unhealthy first.
#ifndef ULMET_WEBNETWORK_H
#define ULMET_WEBNETWORK_H

#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "web/WebHealth.h"

// 1 to 32 lower-case letters, digits or _, starting with a letter (the
// names ulmet-network accepts).
bool validStationName(const std::string& name);

// The database that holds a station's copy on the central server.
std::string stationSchema(const std::string& name);

// The station names of the network, sorted. False, with `error` set, when
// the list cannot be read.
bool networkStations(std::vector<std::string>* names, std::string* error);

struct ReceiveState {
    std::string state = "missing";  // ok, odd, failed, new, missing
    long behindSeconds = -1;        // since the last successful fetch; -1 when never
    std::string problem;            // the connection's error, "" when none
};

// How the central server receives each station's rows, by station name.
// This is the only function that knows the transport: the state that
// `ulmet-network sync` records for each station it fetches from
// (UlmetNetwork.network_status: ok, odd, failed or new); a station without
// a state is missing. False, with `error` set, when it cannot be read.
bool receiveStates(std::map<std::string, ReceiveState>* states, std::string* error);

struct StationLine {
    std::string name;
    ReceiveState receive;
    DbHealth health;
    bool healthy = false;
    std::string reason;  // why not healthy, "" when healthy
};

// A station is healthy when its last fetch succeeded ("ok") and
// its newest IPWV is at most this old.
constexpr long kHealthyIpwvAgeSeconds = 300;

// One line per station, the unhealthy first, then by name. False, with
// `error` set, when the station list cannot be read; a failing state
// query leaves every station's state "unknown" with that message.
bool networkOverview(time_t now, std::vector<StationLine>* lines, std::string* error);

#endif
