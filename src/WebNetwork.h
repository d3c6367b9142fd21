// The network page's figures on a central server: the stations it holds
// (UlmetNetwork.stations, each station's copy in UlmetDB_<name>), the
// state of each station's replication connection and each copy's health,
// the unhealthy first.
#ifndef ULMET_WEBNETWORK_H
#define ULMET_WEBNETWORK_H

#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "WebHealth.h"

// 1 to 32 lower-case letters, digits or _, starting with a letter (the
// names ulmet-network accepts).
bool validStationName(const std::string& name);

// The database that holds a station's copy on the central server.
std::string stationSchema(const std::string& name);

// The station names of the network, sorted. False, with `error` set, when
// the list cannot be read.
bool networkStations(std::vector<std::string>* names, std::string* error);

struct ReceiveState {
    std::string state = "missing";  // replicating, connecting, stopped, failed, missing
    long behindSeconds = -1;        // -1 when the server does not know
    std::string problem;            // the connection's error, "" when none
};

// How the central server receives each station's rows, by station name.
// This is the only function that knows the transport: today the
// replication connections (SHOW ALL REPLICAS STATUS); a station without a
// connection is missing. False, with `error` set, when the server does
// not say (the account lacks the REPLICA MONITOR privilege, for example).
bool receiveStates(std::map<std::string, ReceiveState>* states, std::string* error);

struct StationLine {
    std::string name;
    ReceiveState receive;
    DbHealth health;
    bool healthy = false;
    std::string reason;  // why not healthy, "" when healthy
};

// A station is healthy when it replicates, has no connection error and
// its newest IPWV is at most this old.
constexpr long kHealthyIpwvAgeSeconds = 300;

// One line per station, the unhealthy first, then by name. False, with
// `error` set, when the station list cannot be read; a failing state
// query leaves every station's state "unknown" with that message.
bool networkOverview(time_t now, std::vector<StationLine>* lines, std::string* error);

#endif
