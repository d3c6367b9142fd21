#include "WebNetwork.h"

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
    MYSQL_RES* res = db.query("SHOW ALL REPLICAS STATUS");
    if (res == nullptr) {
        *error = "the replication state cannot be read (error " + std::to_string(db.errorNumber()) +
                 "): " + db.errorMessage();
        return false;
    }
    std::map<std::string, unsigned int> column;
    const unsigned int n = mysql_num_fields(res);
    MYSQL_FIELD* fields = mysql_fetch_fields(res);
    for (unsigned int i = 0; i < n; ++i) column[fields[i].name] = i;
    auto field = [&](MYSQL_ROW row, const char* name) -> std::string {
        auto it = column.find(name);
        return (it == column.end() || row[it->second] == nullptr) ? "" : row[it->second];
    };
    while (MYSQL_ROW row = mysql_fetch_row(res)) {
        ReceiveState s;
        const std::string io = field(row, "Slave_IO_Running");
        const std::string sql = field(row, "Slave_SQL_Running");
        const std::string ioErrno = field(row, "Last_IO_Errno");
        const std::string sqlErrno = field(row, "Last_SQL_Errno");
        const bool ioError = !ioErrno.empty() && ioErrno != "0";
        const bool sqlError = !sqlErrno.empty() && sqlErrno != "0";
        if (io == "Yes" && sql == "Yes")
            s.state = "replicating";
        else if (io == "Connecting")
            s.state = "connecting";
        else if (io == "No" && sql == "No" && !ioError && !sqlError)
            s.state = "stopped";
        else
            s.state = "failed";
        const std::string behind = field(row, "Seconds_Behind_Master");
        if (!behind.empty()) s.behindSeconds = std::atol(behind.c_str());
        if (ioError) s.problem = "I/O error " + ioErrno + " " + field(row, "Last_IO_Error");
        if (sqlError)
            s.problem += (s.problem.empty() ? "" : "; ") + std::string("SQL error ") + sqlErrno +
                         " " + field(row, "Last_SQL_Error");
        (*states)[field(row, "Connection_name")] = s;
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
            line.receive.problem = "no replication connection " + name;
        }
        line.health = databaseHealth(stationSchema(name), now);
        if (line.receive.state != "replicating")
            line.reason = "not replicating (" + line.receive.state + ")";
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
