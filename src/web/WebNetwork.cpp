#include "web/WebNetwork.h"

#include <mysql.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <regex>

#include "DBConfig.h"
#include "Database.h"

bool validStationName(const std::string& name) {
    static const std::regex pattern("[a-z][a-z0-9_]{0,31}");
    return std::regex_match(name, pattern);
}

std::string stationSchema(const std::string& name) { return "UlmetDB_" + name; }

bool networkStations(std::vector<std::string>* names, std::string* error) {
    Database db;
    if (db.openConnection(host, database, user, password) != 200) {
        *error = "the database cannot be reached (error " + std::to_string(db.errorNumber()) +
                 "): " + db.errorMessage();
        return false;
    }
    MYSQL_RES* res = db.query("SELECT name FROM UlmetNetwork.stations ORDER BY name");
    if (res == nullptr) {
        *error = "the station list UlmetNetwork.stations cannot be read (error " +
                 std::to_string(db.errorNumber()) + "): " + db.errorMessage();
        return false;
    }
    names->clear();
    while (MYSQL_ROW row = mysql_fetch_row(res))
        if (row[0] != nullptr && validStationName(row[0])) names->push_back(row[0]);
    return true;
}

bool receiveStates(std::map<std::string, ReceiveState>* states, std::string* error) {
    Database db;
    if (db.openConnection(host, database, user, password) != 200) {
        *error = "the database cannot be reached (error " + std::to_string(db.errorNumber()) +
                 "): " + db.errorMessage();
        return false;
    }
    MYSQL_RES* res =
        db.query("SELECT name, state, lag_seconds, last_error FROM UlmetNetwork.network_status");
    if (res == nullptr) {
        *error = "the stations' state UlmetNetwork.network_status cannot be read (error " +
                 std::to_string(db.errorNumber()) + "): " + db.errorMessage();
        return false;
    }
    while (MYSQL_ROW row = mysql_fetch_row(res)) {
        if (row[0] == nullptr) continue;
        ReceiveState s;
        if (row[1] != nullptr) s.state = row[1];
        if (row[2] != nullptr) s.behindSeconds = std::atol(row[2]);
        if (row[3] != nullptr) s.problem = row[3];
        (*states)[row[0]] = s;
    }
    return true;
}

bool networkOverview(time_t now, std::vector<StationLine>* lines, std::string* error) {
    std::vector<std::string> names;
    if (!networkStations(&names, error)) return false;
    std::map<std::string, ReceiveState> states;
    std::string stateError;
    const bool haveStates = receiveStates(&states, &stateError);
    lines->clear();
    for (const std::string& name : names) {
        StationLine line;
        line.name = name;
        if (!haveStates) {
            line.receive.state = "unknown";
            line.receive.problem = stateError;
        } else if (states.count(name) != 0) {
            line.receive = states[name];
        } else {
            line.receive.problem = "no state recorded for " + name;
        }
        line.health = databaseHealth(stationSchema(name), now);
        if (line.receive.state != "ok")
            line.reason = "not receiving (" + line.receive.state + ")";
        else if (!line.receive.problem.empty())
            line.reason = line.receive.problem;
        else if (!line.health.reachable)
            line.reason = line.health.error;
        else if (line.health.lastIpwvTime.empty())
            line.reason = "no IPWV";
        else if (line.health.lastIpwvAgeSeconds > kHealthyIpwvAgeSeconds)
            line.reason = "newest IPWV older than 5 minutes";
        line.healthy = line.reason.empty();
        lines->push_back(line);
    }
    std::stable_sort(lines->begin(), lines->end(), [](const StationLine& a, const StationLine& b) {
        return a.healthy != b.healthy ? !a.healthy : a.name < b.name;
    });
    return true;
}
