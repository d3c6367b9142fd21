#include "ProductExport.h"

#include <mysql.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "DBConfig.h"
#include "Database.h"
#include "JsonText.h"
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

// The stored text of a numeric column as the export writes it, or "" when
// it is NULL or not a number.
std::string valueText(const char* stored, const ProductColumn& column) {
    const double value = columnValue(stored);
    if (value == kMissingValue) return "";
    return productNumber(value, column.format);
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

// The minute as stored, in ISO 8601 form without a zone designator: it is
// GPS time, which ISO 8601 has no designator for (not UTC, so no "Z").
std::string isoMinute(const std::string& minute) {
    return minute.substr(0, 10) + "T" + minute.substr(11) + ":00";
}

// The period read and written at once by exportProduct: ten days of
// minutes, a few megabytes of records.
constexpr time_t kChunkSeconds = 10 * 24 * 3600;

void writeCsvRecords(std::ostream& out, const ProductRecords& records) {
    for (const auto& [minute, record] : records) {
        out << isoMinute(minute);
        for (const std::string& v : record) out << "," << v;
        out << "\n";
    }
}

void writeCsvHeader(std::ostream& out) {
    out << "time";
    for (int i = 0; i < kProductColumnCount; ++i) out << "," << kProductColumns[i].name;
    out << "\n";
}

// The records as JSON objects; `first` false when records were written
// before (a comma then comes first).
void writeJsonRecords(std::ostream& out, const ProductRecords& records, bool first) {
    for (const auto& [minute, record] : records) {
        out << (first ? "" : ",\n") << "{\"time\": \"" << isoMinute(minute) << "\"";
        first = false;
        for (int i = 0; i < kProductColumnCount; ++i)
            out << ", \"" << kProductColumns[i].name
                << "\": " << (record[i].empty() ? "null" : record[i]);
        out << "}";
    }
}

// `text` with every control character a space, so that a description
// line stays one comment line of the CSV file.
std::string oneLine(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    return text;
}

// A text of a number that strtod reads back as exactly `value`.
bool readsBack(const char* text, double value) { return std::strtod(text, nullptr) == value; }

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
    // 00 of the minute, at or above the 30 degree cut-off, highest
    // elevation, then lowest PRN; in a minute without such a row, the
    // highest of the others, since the antenna's position is the same.
    ok = ok && fill("SELECT data, latitude, longitude, height" + in + "troposphericDelay" + range +
                        " AND data LIKE '%:00' ORDER BY data, (elevation BETWEEN 30 AND 90) DESC, "
                        "elevation DESC, prn ASC",
                    {"latitude_deg", "longitude_deg", "height_m"}, false, records, error);
    return ok;
}

std::string productNumber(double value, const char* format) {
    char buffer[64];
    if (std::strcmp(format, "%d") == 0) {
        if (value == std::floor(value) && std::fabs(value) <= INT_MAX) {
            std::snprintf(buffer, sizeof(buffer), "%d", static_cast<int>(value));
            return buffer;
        }
    } else {
        // The fixed form only while it is short: 1e70 in fixed notation is
        // exact but 77 digits long.
        const int n = std::snprintf(buffer, sizeof(buffer), format, value);
        if (n > 0 && n < 24 && readsBack(buffer, value)) return buffer;
    }
    for (int digits = 0; digits <= 17; ++digits) {
        std::snprintf(buffer, sizeof(buffer), "%.*e", digits, value);
        if (readsBack(buffer, value)) break;
    }
    return buffer;
}

std::vector<std::pair<std::string, std::string>> productDescription(const ProductMetadata& meta,
                                                                    time_t first, time_t last) {
    std::vector<std::pair<std::string, std::string>> d = {
        {"product",
         "IPWV, integrated precipitable water vapour (cm), one record per minute, with the "
         "minute's surface weather and the satellite and antenna position it was computed from"},
        {"station", meta.station},
        {"period", formatUtc(first, "%Y-%m-%dT%H:%M:00") + " to " +
                       formatUtc(last, "%Y-%m-%dT%H:%M:00") + " (both included)"},
        {"method",
         "a surface-meteorology model: the minute's pressure, temperature and relative humidity "
         "give Saastamoinen zenith delays, mapped with the Niell functions at the elevation of "
         "one satellite (the highest at or above 30 degrees), and Tm = 0.72 T + 70.2; no delay "
         "measured by the GNSS receiver enters the value, the receiver supplies only the antenna "
         "position and the satellite's elevation"},
        {"uncertainty",
         "ipwv_sigma_cm is one standard deviation from the input measurements only (weather "
         "readings, receiver position error estimates, refractivity constants); it does not "
         "cover the model's own error, sensor drift or the clock; empty when unknown"},
        {"time_scale",
         "GPS time (no leap seconds, GPS = UTC + 18 s since 2017-01-01) on the UTC calendar, "
         "the minute as stored, ISO 8601 without a zone designator"},
        {"units",
         "ipwv_cm cm; ipwv_sigma_cm cm; pressure_hpa hPa; temperature_c degrees Celsius; "
         "rh_percent %; elevation_deg degrees; prn number; satellites count; latitude_deg "
         "degrees north; longitude_deg degrees east; height_m m"},
        {"missing", "an empty field (CSV) or null (JSON)"},
        {"documentation", "docs/science.md of the station software (ulmet)"},
    };
    return d;
}

// The description and the opening of the records.
static void writeProductStart(std::ostream& out, bool json, const ProductMetadata& meta,
                              time_t first, time_t last) {
    if (json) {
        if (meta.describe) {
            out << "{\"metadata\": {";
            const char* sep = "\n";
            for (const auto& [key, value] : productDescription(meta, first, last)) {
                out << sep << jsonString(key) << ": " << jsonString(value);
                sep = ",\n";
            }
            out << "},\n\"records\": ";
        }
        out << "[\n";
    } else {
        if (meta.describe)
            for (const auto& [key, value] : productDescription(meta, first, last))
                out << "# " << key << ": " << oneLine(value) << "\n";
        writeCsvHeader(out);
    }
}

bool exportProduct(std::ostream& out, ProductFormat format, const ProductMetadata& meta,
                   time_t first, time_t last, const std::string& schema, std::string* error) {
    const bool json = format == ProductFormat::Json;
    bool none = true;
    for (time_t from = first; from <= last; from += kChunkSeconds) {
        const time_t to = std::min(last, from + kChunkSeconds - 60);
        ProductRecords records;
        if (!loadProduct(from, to, schema, records, error)) return false;
        // Nothing is written before the first part of the period was read:
        // a database that cannot be read leaves no output at all.
        if (from == first) writeProductStart(out, json, meta, first, last);
        if (json)
            writeJsonRecords(out, records, none);
        else
            writeCsvRecords(out, records);
        none = none && records.empty();
        if (!out) {
            if (error != nullptr) *error = "the output cannot be written";
            return false;
        }
    }
    if (json) out << (none ? "]\n" : "\n]\n") << (meta.describe ? "}\n" : "");
    out.flush();
    if (!out && error != nullptr) *error = "the output cannot be written";
    return static_cast<bool>(out);
}
