#include "ProductExport.h"

#include <mysql.h>

#include <cstdio>
#include <cstring>

#include "DBConfig.h"
#include "Database.h"
#include "utilities.h"

const ProductColumn kProductColumns[] = {
    {"ipwv_cm", "%.6f"},
    {"ipwv_sigma_cm", "%.6f"},
    {"pressure_hpa", "%.2f"},
    {"temperature_c", "%.2f"},
    {"rh_percent", "%.2f"},
    {"elevation_deg", "%.5f"},
    {"prn", "%d"},
    {"satellites", "%d"},
    {"latitude_deg", "%.9f"},
    {"longitude_deg", "%.9f"},
    {"height_m", "%.3f"},
};
const int kProductColumnCount = sizeof(kProductColumns) / sizeof(kProductColumns[0]);

namespace {

// The stored text of a numeric column written with the column's format,
// or "" when it is NULL or not a number.
std::string valueText(const char* stored, const ProductColumn& column) {
    const double value = columnValue(stored);
    if (value == kMissingValue) return "";
    // Room for any double in fixed notation (up to 309 digits before the point).
    char buffer[400];
    const int n = std::strcmp(column.format, "%d") == 0
                      ? std::snprintf(buffer, sizeof(buffer), "%d", static_cast<int>(value))
                      : std::snprintf(buffer, sizeof(buffer), column.format, value);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof(buffer)) return "";
    return std::string(buffer, static_cast<size_t>(n));
}

int columnIndex(const char* name) {
    for (int i = 0; i < kProductColumnCount; ++i)
        if (std::strcmp(kProductColumns[i].name, name) == 0) return i;
    return -1;
}

// Runs `select` (its first column the stored date-time, the others filling
// `targets` in order) and fills the records of the minutes it returns. The
// first row of a minute wins, or the last when `lastWins`. False when the
// statement fails.
bool fill(const std::string& select, const std::vector<const char*>& targets, bool lastWins,
          ProductRecords& records, std::string* error) {
    Database db;
    if (db.openConnection(host, database, user, password) != 200) {
        if (error != nullptr)
            *error = "the database cannot be reached (error " + std::to_string(db.errorNumber()) +
                     "): " + db.errorMessage();
        return false;
    }
    bool ok = true;
    MYSQL_RES* res = db.query(select.c_str());
    if (res == nullptr) {
        ok = false;
        if (error != nullptr)
            *error =
                "the statement failed (error " + std::to_string(db.errorNumber()) + "): " + select;
    } else {
        std::map<std::string, bool> seen;
        while (MYSQL_ROW row = mysql_fetch_row(res)) {
            if (row[0] == nullptr) continue;
            const std::string minute = std::string(row[0]).substr(0, 16);
            auto record = records.find(minute);
            if (record == records.end() || (seen[minute] && !lastWins)) continue;
            seen[minute] = true;
            for (size_t i = 0; i < targets.size(); ++i) {
                const int c = columnIndex(targets[i]);
                record->second[c] = valueText(row[i + 1], kProductColumns[c]);
            }
        }
    }
    db.disconnect();
    return ok;
}

std::string isoMinute(const std::string& minute) {
    return minute.substr(0, 10) + "T" + minute.substr(11) + ":00Z";
}

}  // namespace

bool parseProductMinute(std::string text, time_t* minute) {
    if (text.size() > 10 && text[10] == 'T') text[10] = ' ';
    if (!text.empty() && text.back() == 'Z') text.pop_back();
    struct tm t {};
    const char* end = strptime(text.c_str(), "%Y-%m-%d %H:%M", &t);
    if (end == nullptr) return false;
    if (*end == ':') {
        int seconds = 0;
        char rest = 0;
        if (std::sscanf(end, ":%2d%c", &seconds, &rest) != 1 || seconds > 60) return false;
    } else if (*end != '\0') {
        return false;
    }
    // Times are read on the UTC calendar, the scale of the stored texts.
    struct tm check = t;
    *minute = timegm(&t);
    return check.tm_mday == t.tm_mday && check.tm_mon == t.tm_mon;  // no 31 February
}

std::string formatUtc(time_t t, const char* format) {
    struct tm parts {};
    if (gmtime_r(&t, &parts) == nullptr) return "";
    char buffer[64];
    const size_t n = std::strftime(buffer, sizeof(buffer), format, &parts);
    return std::string(buffer, n);
}

bool loadProduct(time_t first, time_t last, const std::string& schema, ProductRecords& records,
                 std::string* error) {
    // Every minute of the period has a record, empty until filled.
    for (time_t t = first; t <= last; t += 60)
        records[formatUtc(t, "%Y-%m-%d %H:%M")] = ProductRecord(kProductColumnCount);
    const std::string lo = formatUtc(first, "%Y-%m-%d %H:%M:00");
    const std::string hi = formatUtc(last, "%Y-%m-%d %H:%M:59");
    const std::string range = " WHERE data >= '" + lo + "' AND data <= '" + hi + "'";
    const std::string in = schema.empty() ? std::string(" FROM ") : " FROM `" + schema + "`.";

    bool ok = true;
    // The value of a minute as stored by the retrieval program; of several
    // runs in one minute, the last stored.
    ok = ok && fill("SELECT data, ipwv_value, ipwv_sigma, elevation, prn, satellites" + in +
                        "ipwv" + range + " ORDER BY data, id",
                    {"ipwv_cm", "ipwv_sigma_cm", "elevation_deg", "prn", "satellites"}, true,
                    records, error);
    // The weather readings of the minute: the first stored within it, the
    // one the retrieval program reads.
    ok = ok && fill("SELECT data, pressure_value" + in + "pressure" + range + " ORDER BY data, id",
                    {"pressure_hpa"}, false, records, error);
    ok = ok &&
         fill("SELECT data, temperature_value" + in + "temperature" + range + " ORDER BY data, id",
              {"temperature_c"}, false, records, error);
    ok = ok && fill("SELECT data, humidity_value" + in + "humidity" + range + " ORDER BY data, id",
                    {"rh_percent"}, false, records, error);
    // The position of the satellite row the retrieval program uses: second
    // 00 of the minute, highest elevation, then lowest PRN.
    ok = ok && fill("SELECT data, latitude, longitude, height" + in + "troposphericDelay" + range +
                        " AND data LIKE '%:00' ORDER BY data, elevation DESC, prn ASC, id ASC",
                    {"latitude_deg", "longitude_deg", "height_m"}, false, records, error);
    return ok;
}

void writeProductCsv(std::ostream& out, const ProductRecords& records) {
    out << "time";
    for (int i = 0; i < kProductColumnCount; ++i) out << "," << kProductColumns[i].name;
    out << "\n";
    for (const auto& [minute, record] : records) {
        out << isoMinute(minute);
        for (const std::string& v : record) out << "," << v;
        out << "\n";
    }
}

void writeProductJson(std::ostream& out, const ProductRecords& records) {
    out << "[\n";
    size_t n = 0;
    for (const auto& [minute, record] : records) {
        out << "{\"time\": \"" << isoMinute(minute) << "\"";
        for (int i = 0; i < kProductColumnCount; ++i)
            out << ", \"" << kProductColumns[i].name
                << "\": " << (record[i].empty() ? "null" : record[i]);
        out << (++n < records.size() ? "},\n" : "}\n");
    }
    out << "]\n";
}
