// ulmet-export: the station's product, one record per minute of a period,
// as CSV or JSON. Each record holds the minute (ISO 8601, UTC), the stored
// IPWV and its uncertainty, the weather readings of the minute, the
// satellite the value was computed from (elevation, PRN, satellite count)
// and the station position. Values that do not exist are explicit: an
// empty field in CSV, null in JSON. docs/science.md describes every
// column and its unit.
//
//   ulmet-export --from T1 --to T2 [--format csv|json] [--out FILE]
//
// T1 and T2 are minutes as stored ("YYYY-MM-DD HH:MM[:SS]") or in ISO 8601
// ("YYYY-MM-DDTHH:MM[:SS][Z]"); the seconds are ignored and both minutes
// are included. The database is reached as the station's programs reach it.
#include <mysql.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "DBConfig.h"
#include "Database.h"
#include "DbSettings.h"
#include "utilities.h"

namespace {

const char kUsage[] =
    "usage: ulmet-export --from T1 --to T2 [--format csv|json] [--out FILE]\n"
    "  T1, T2: 'YYYY-MM-DD HH:MM[:SS]' or 'YYYY-MM-DDTHH:MM[:SS][Z]' (seconds ignored)\n";

// One column of the product: its name and how its stored text is written.
struct Column {
    const char* name;
    const char* format;  // printf conversion of the number; "%d" for counts
};

// In record order; the record's time comes first.
const Column kColumns[] = {
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
const int kColumnCount = sizeof(kColumns) / sizeof(kColumns[0]);

// The values of one minute, as texts ready to write; empty when missing.
using Record = std::vector<std::string>;

// A minute text "YYYY-MM-DD HH:MM" from either accepted form; false when
// the text is not a valid date-time.
bool parseMinute(std::string text, time_t* minute) {
    if (text.size() > 10 && text[10] == 'T') text[10] = ' ';
    if (!text.empty() && text.back() == 'Z') text.pop_back();
    struct tm t {};
    std::memset(&t, 0, sizeof(t));
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

std::string formatTime(time_t minute, const char* format) {
    struct tm t {};
    gmtime_r(&minute, &t);
    char buffer[40];
    std::strftime(buffer, sizeof(buffer), format, &t);
    return buffer;
}

// The stored text of a numeric column written with the column's format,
// or "" when it is NULL or not a number.
std::string valueText(const char* stored, const Column& column) {
    const double value = columnValue(stored);
    if (value == kMissingValue) return "";
    char buffer[64];
    if (std::strcmp(column.format, "%d") == 0)
        std::snprintf(buffer, sizeof(buffer), "%d", static_cast<int>(value));
    else
        std::snprintf(buffer, sizeof(buffer), column.format, value);
    return buffer;
}

int columnIndex(const char* name) {
    for (int i = 0; i < kColumnCount; ++i)
        if (std::strcmp(kColumns[i].name, name) == 0) return i;
    return -1;
}

// Runs `select` (its first column the stored date-time, the others filling
// `targets` in order) and fills the records of the minutes it returns. The
// first row of a minute wins, or the last when `lastWins`. False when the
// statement fails.
bool fill(const std::string& select, const std::vector<const char*>& targets, bool lastWins,
          std::map<std::string, Record>& records) {
    auto DB = std::make_unique<Database>();
    bool ok = DB->openConnection(host, database, user, password) == 200;
    MYSQL_RES* res = ok ? DB->query(select.c_str()) : nullptr;
    if (res == nullptr) {
        ok = false;
        std::cerr << "ulmet-export: the statement failed (error " << DB->errorNumber()
                  << "): " << select << "\n";
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
                record->second[c] = valueText(row[i + 1], kColumns[c]);
            }
        }
    }
    DB->disconnect();
    return ok;
}

void writeCsv(std::ostream& out, const std::map<std::string, Record>& records) {
    out << "time";
    for (const Column& c : kColumns) out << "," << c.name;
    out << "\n";
    for (const auto& [minute, record] : records) {
        out << minute.substr(0, 10) << "T" << minute.substr(11) << ":00Z";
        for (const std::string& v : record) out << "," << v;
        out << "\n";
    }
}

void writeJson(std::ostream& out, const std::map<std::string, Record>& records) {
    out << "[\n";
    size_t n = 0;
    for (const auto& [minute, record] : records) {
        out << "{\"time\": \"" << minute.substr(0, 10) << "T" << minute.substr(11) << ":00Z\"";
        for (int i = 0; i < kColumnCount; ++i)
            out << ", \"" << kColumns[i].name << "\": " << (record[i].empty() ? "null" : record[i]);
        out << (++n < records.size() ? "},\n" : "}\n");
    }
    out << "]\n";
}

}  // namespace

int main(int argc, char** argv) {
    std::string from, to, format = "csv", outPath;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::cout << kUsage;
            return 0;
        }
        if (i + 1 >= argc ||
            (arg != "--from" && arg != "--to" && arg != "--format" && arg != "--out")) {
            std::cerr << "ulmet-export: unknown option or missing value: " << arg << "\n" << kUsage;
            return 2;
        }
        const std::string value = argv[++i];
        (arg == "--from"     ? from
         : arg == "--to"     ? to
         : arg == "--format" ? format
                             : outPath) = value;
    }
    time_t first = 0, last = 0;
    if (from.empty() || to.empty()) {
        std::cerr << "ulmet-export: --from and --to are required\n" << kUsage;
        return 2;
    }
    for (const auto& [text, minute] : {std::pair(from, &first), std::pair(to, &last)})
        if (!parseMinute(text, minute)) {
            std::cerr << "ulmet-export: cannot read the time '" << text << "'\n";
            return 2;
        }
    if (format != "csv" && format != "json") {
        std::cerr << "ulmet-export: --format is csv or json, not '" << format << "'\n";
        return 2;
    }
    first -= first % 60;
    last -= last % 60;
    if (first > last) {
        std::cerr << "ulmet-export: --from is after --to\n";
        return 2;
    }

    if (!checkDbSettings()) return 1;

    // Every minute of the period has a record, empty until filled.
    std::map<std::string, Record> records;
    for (time_t t = first; t <= last; t += 60)
        records[formatTime(t, "%Y-%m-%d %H:%M")] = Record(kColumnCount);
    const std::string lo = formatTime(first, "%Y-%m-%d %H:%M:00");
    const std::string hi = formatTime(last, "%Y-%m-%d %H:%M:59");
    const std::string range = " WHERE data >= '" + lo + "' AND data <= '" + hi + "'";

    bool ok = true;
    // The value of a minute as stored by the retrieval program; of several
    // runs in one minute, the last stored.
    ok &= fill("SELECT data, ipwv_value, ipwv_sigma, elevation, prn, satellites FROM ipwv" + range +
                   " ORDER BY data, id",
               {"ipwv_cm", "ipwv_sigma_cm", "elevation_deg", "prn", "satellites"}, true, records);
    // The weather readings of the minute: the first stored within it, the
    // one the retrieval program reads.
    ok &= fill("SELECT data, pressure_value FROM pressure" + range + " ORDER BY data, id",
               {"pressure_hpa"}, false, records);
    ok &= fill("SELECT data, temperature_value FROM temperature" + range + " ORDER BY data, id",
               {"temperature_c"}, false, records);
    ok &= fill("SELECT data, humidity_value FROM humidity" + range + " ORDER BY data, id",
               {"rh_percent"}, false, records);
    // The position of the satellite row the retrieval program uses: second
    // 00 of the minute, highest elevation, then lowest PRN.
    ok &= fill("SELECT data, latitude, longitude, height FROM troposphericDelay" + range +
                   " AND data LIKE '%:00' ORDER BY data, elevation DESC, prn ASC, id ASC",
               {"latitude_deg", "longitude_deg", "height_m"}, false, records);
    if (!ok) {
        std::cerr << "ulmet-export: nothing written (is the database set up with "
                     "ulmet-install-db, and is the server running?)\n";
        return 1;
    }

    std::ostringstream text;
    if (format == "csv")
        writeCsv(text, records);
    else
        writeJson(text, records);
    if (outPath.empty()) {
        std::cout << text.str() << std::flush;
        return std::cout ? 0 : 1;
    }
    std::ofstream out(outPath, std::ios::out | std::ios::trunc);
    out << text.str();
    out.close();
    if (!out) {
        std::cerr << "ulmet-export: cannot write " << outPath << "\n";
        return 1;
    }
    return 0;
}
