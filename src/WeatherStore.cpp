#include "WeatherStore.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Database.h"
#include "utilities.h"

namespace {
const char* const kTables[] = {"pressure", "temperature", "humidity"};
}

bool isWeatherRowStatement(const std::string& line) {
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
        return line == format_query(table, static_cast<float>(value), datatime.c_str());
    }
    return false;
}

WeatherStoreOutcome storeWeatherStatement(const std::string& statement, std::string* message) {
    Database db;
    db.openConnection("localhost", "UlmetDB", "root", "kzqvwp");
    bool failed = db.updateQuery(statement.c_str());
    unsigned int error = db.errorNumber();
    if (message != nullptr) *message = failed ? db.errorMessage() : std::string();
    db.disconnect();
    if (!failed) return WeatherStoreOutcome::Stored;
    switch (Database::classify(error)) {
        case Database::Failure::Duplicate:
            return WeatherStoreOutcome::AlreadyStored;
        case Database::Failure::Condemned:
            return WeatherStoreOutcome::Rejected;
        default:
            return WeatherStoreOutcome::Kept;
    }
}

int weatherRowPresent(Database& db, int table, const std::string& datatime) {
    if (table < 0 || table > 2 || !isDateTimeText(datatime)) return -1;
    char statement[200];
    (void)std::snprintf(statement, sizeof statement, "SELECT COUNT(*) FROM %s WHERE data = '%s';",
                        kTables[table], datatime.c_str());
    int n = db.intQuery(statement);
    return n < 0 ? -1 : (n > 0 ? 1 : 0);
}
