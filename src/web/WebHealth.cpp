#include "web/WebHealth.h"

#include <mysql.h>

#include <cstdlib>

#include "DBConfig.h"
#include "Database.h"
#include "products/ProductExport.h"

namespace {

long ageOf(const char* stored, time_t now) {
    time_t t = 0;
    if (stored == nullptr || !parseProductMinute(stored, &t)) return -1;
    // The stored seconds count: a row of 12:00:30 is 30 s younger than one of 12:00:00.
    const std::string text(stored);
    if (text.size() >= 19) t += std::atoi(text.substr(17, 2).c_str());
    return static_cast<long>(now - t);
}

}  // namespace

DbHealth databaseHealth(const std::string& schema, time_t now) {
    DbHealth h;
    const time_t minute = now - now % 60;
    const std::string lo = formatUtc(minute - 3600, "%Y-%m-%d %H:%M:00");
    const std::string hi = formatUtc(minute - 60, "%Y-%m-%d %H:%M:59");
    const std::string in = schema.empty() ? std::string(" FROM ") : " FROM `" + schema + "`.";
    const std::string select =
        "SELECT (SELECT MAX(data)" + in + "troposphericDelay), (SELECT data" + in +
        "ipwv ORDER BY data DESC, id DESC LIMIT 1), (SELECT ipwv_value" + in +
        "ipwv ORDER BY data DESC, id DESC LIMIT 1), (SELECT COUNT(DISTINCT LEFT(data, 16))" + in +
        "ipwv WHERE data >= '" + lo + "' AND data <= '" + hi + "' AND ipwv_value IS NOT NULL)";
    Database db;
    if (db.openConnection(host, database, user, password) != 200) {
        h.error = "the database cannot be reached (error " + std::to_string(db.errorNumber()) +
                  "): " + db.errorMessage();
        return h;
    }
    MYSQL_RES* res = db.query(select.c_str());
    MYSQL_ROW row = res != nullptr ? mysql_fetch_row(res) : nullptr;
    if (row == nullptr) {
        h.error = "the station's tables cannot be read (error " + std::to_string(db.errorNumber()) +
                  "): " + db.errorMessage();
        db.disconnect();
        return h;
    }
    h.reachable = true;
    if (row[0] != nullptr) {
        h.lastRowTime = row[0];
        h.lastRowAgeSeconds = ageOf(row[0], now);
    }
    if (row[1] != nullptr) {
        h.lastIpwvTime = row[1];
        h.lastIpwvAgeSeconds = ageOf(row[1], now);
        h.lastIpwv = row[2] != nullptr ? std::strtod(row[2], nullptr) : 0;
    }
    h.missingIpwvMinutes = 60 - (row[3] != nullptr ? std::atoi(row[3]) : 0);
    db.disconnect();
    return h;
}
