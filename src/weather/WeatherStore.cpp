#include "weather/WeatherStore.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "DBConfig.h"
#include "Database.h"
#include "utilities.h"

namespace {
const char* const kTables[] = {"pressure", "temperature", "humidity"};
}

bool weatherRowKey(const std::string& line, int* tableOut, std::string* datatimeOut) {
    if (line.size() >= 200) return false;
    for (int table = 0; table < 3; ++table) {
        std::string prefix = std::string("INSERT INTO ") + kTables[table] + " (" + kTables[table] +
                             "_value, data) VALUES (";
        if (line.compare(0, prefix.size(), prefix) != 0) continue;
        const char* start = line.c_str() + prefix.size();
        char* end = nullptr;
        double value = std::strtod(start, &end);
        if (end == start || !std::isfinite(value)) return false;
        const char* quote = std::strchr(end, '\'');
        if (quote == nullptr) return false;
        std::string datatime(quote + 1, std::strcspn(quote + 1, "'"));
        if (datatime.size() != 19 || !isDateTimeText(datatime)) return false;
        // The whole line must be what format_query makes of these values.
        if (line != format_query(table, static_cast<float>(value), datatime.c_str())) return false;
        if (tableOut != nullptr) *tableOut = table;
        if (datatimeOut != nullptr) *datatimeOut = datatime;
        return true;
    }
    return false;
}

bool isWeatherRowStatement(const std::string& line) {
    return weatherRowKey(line, nullptr, nullptr);
}

StoreOutcome storeWeatherStatement(const std::string& statement, std::string* message) {
    Database db;
    db.openConnection(host, database, user, password);
    // A statement sent before may have been stored although its answer was
    // lost (or a run died before removing it from the spool): a row of
    // that table and date-time is not stored again. Without the SELECT
    // grant the look-up fails and the row is simply inserted.
    int table = -1;
    std::string datatime;
    if (weatherRowKey(statement, &table, &datatime) &&
        weatherRowPresent(db, table, datatime) == 1) {
        db.disconnect();
        if (message != nullptr) message->clear();
        return StoreOutcome::AlreadyStored;
    }
    bool failed = db.updateQuery(statement.c_str());
    unsigned int error = db.errorNumber();
    if (message != nullptr) *message = failed ? db.errorMessage() : std::string();
    db.disconnect();
    return storeOutcome(failed, error);
}

int weatherRowPresent(Database& db, int table, const std::string& datatime) {
    if (table < 0 || table > 2 || !isDateTimeText(datatime)) return -1;
    char statement[200];
    (void)std::snprintf(statement, sizeof statement, "SELECT COUNT(*) FROM %s WHERE data = '%s';",
                        kTables[table], datatime.c_str());
    int n = db.intQuery(statement);
    return n < 0 ? -1 : (n > 0 ? 1 : 0);
}
