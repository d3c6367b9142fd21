#include "products/ProductExport.h"

#include <mysql.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "DBConfig.h"
#include "Database.h"
#include "IPWV_Models.h"
#include "JsonText.h"
#include "Mistrel.h"
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
    {"iwv_kg_m2", "%.5f"},
    {"iwv_sigma_kg_m2", "%.5f"},
    {"flags", "%d"},
    {"empty_reason", nullptr},
    // Read to classify the minute, not written.
    {"input_pressure", "%.17g", true},
    {"input_temperature", "%.17g", true},
    {"input_humidity", "%.17g", true},
    {"row_elevation", "%.17g", true},
    {"row_present", "%d", true},
};
const int kProductColumnCount = sizeof(kProductColumns) / sizeof(kProductColumns[0]);

const ProductFlag kProductFlags[] = {
    {1, "surface_model",
     "the value is derived from the minute's surface weather by a model, not from a GNSS delay "
     "estimate (set on every value)"},
    {2, "low_satellite",
     "the highest satellite at or above the 30 degree cut-off, whose elevation the value was "
     "computed with, was below 60 degrees"},
    {4, "uncertainty_unknown", "no uncertainty: the satellite row had no position error estimates"},
    {8, "weather_not_of_minute",
     "the weather readings the value was computed from are not the minute's readings in this "
     "record (readings of the minute were stored or changed after the value)"},
    {16, "satellite_unknown",
     "stored without the satellite's elevation (an earlier version): low_satellite cannot be "
     "told"},
    {32, "weather_inputs_unknown",
     "stored without its weather inputs (an earlier version): weather_not_of_minute cannot be "
     "told"},
};
const int kProductFlagCount = sizeof(kProductFlags) / sizeof(kProductFlags[0]);

const ProductReason kProductReasons[] = {
    {"no_satellite_rows",
     "no satellite row stamped at second 00 of the minute: the acquisition stored nothing"},
    {"below_cutoff", "satellite rows, but none at or above the 30 degree elevation cut-off"},
    {"weather_missing",
     "no pressure, temperature or relative humidity reading in the minute (the empty column "
     "says which)"},
    {"negative_value",
     "every input is there, but the model gives a negative value (or none), which is not "
     "stored"},
    {"not_retrieved",
     "every input is there and gives a value, but none is stored: the retrieval did not run "
     "for the minute or could not store its value (ulmet-retrieve computes it)"},
};
const int kProductReasonCount = sizeof(kProductReasons) / sizeof(kProductReasons[0]);

namespace {

// The stored text of a numeric column as the export writes it, or "" when
// it is NULL or not a number.
std::string valueText(const char* stored, const ProductColumn& column) {
    const double value = columnValue(stored);
    if (value == kMissingValue) return "";
    return productNumber(value, column.format);
}

// The index of column `name`, or -1 when the export has no such column; the
// callers then read an empty value and write nothing rather than index
// outside the record.
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
                if (c >= 0) record->second[c] = valueText(row[i + 1], kProductColumns[c]);
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
        for (int i = 0; i < kProductColumnCount; ++i)
            if (!kProductColumns[i].hidden) out << "," << record[i];
        out << "\n";
    }
}

void writeCsvHeader(std::ostream& out) {
    out << "time";
    for (int i = 0; i < kProductColumnCount; ++i)
        if (!kProductColumns[i].hidden) out << "," << kProductColumns[i].name;
    out << "\n";
}

// The records as JSON objects; `first` false when records were written
// before (a comma then comes first).
void writeJsonRecords(std::ostream& out, const ProductRecords& records, bool first) {
    for (const auto& [minute, record] : records) {
        out << (first ? "" : ",\n") << "{\"time\": \"" << isoMinute(minute) << "\"";
        first = false;
        for (int i = 0; i < kProductColumnCount; ++i) {
            if (kProductColumns[i].hidden) continue;
            out << ", \"" << kProductColumns[i].name << "\": "
                << (record[i].empty()                      ? "null"
                    : kProductColumns[i].format == nullptr ? jsonString(record[i])
                                                           : record[i]);
        }
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
    // Exactly "YYYY-MM-DD HH:MM", "YYYY-MM-DDTHH:MM", either with ":SS",
    // and a final 'Z' tolerated (ignored): the text is checked character by
    // character, so nothing may follow the form, not even a NUL byte.
    if (!text.empty() && text.back() == 'Z') text.pop_back();
    static const char kForm[] = "dddd-dd-dd_dd:dd:dd";
    if (text.size() != 16 && text.size() != 19) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (kForm[i] == 'd'   ? !std::isdigit(c)
            : kForm[i] == '_' ? c != ' ' && c != 'T'
                              : c != static_cast<unsigned char>(kForm[i]))
            return false;
    }
    const auto field = [&](size_t at, size_t n) { return std::stoi(text.substr(at, n)); };
    struct tm t {};
    t.tm_year = field(0, 4) - 1900;
    t.tm_mon = field(5, 2) - 1;
    t.tm_mday = field(8, 2);
    t.tm_hour = field(11, 2);
    t.tm_min = field(14, 2);
    const int seconds = text.size() == 19 ? field(17, 2) : 0;
    if (t.tm_mon > 11 || t.tm_mday < 1 || t.tm_hour > 23 || t.tm_min > 59 || seconds > 60)
        return false;
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

namespace {

// Whether `schema`'s (or the connection's) table ipwv has the columns of
// the weather inputs: a station's copy made before them has not. Asked of
// the table itself (an unknown column is error 1054), which costs nothing,
// unlike a look-up in information_schema.
bool hasInputColumns(const std::string& schema, bool* has, std::string* error) {
    Database db;
    if (db.openConnection(host, database, user, password) != 200) {
        if (error != nullptr)
            *error = "the database cannot be reached (error " + std::to_string(db.errorNumber()) +
                     "): " + db.errorMessage();
        return false;
    }
    const std::string in = schema.empty() ? std::string("ipwv") : "`" + schema + "`.ipwv";
    MYSQL_RES* res =
        db.query(("SELECT pressure, temperature, humidity FROM " + in + " LIMIT 0").c_str());
    *has = res != nullptr;
    const bool ok = res != nullptr || db.errorNumber() == 1054;
    if (!ok && error != nullptr)
        *error = "the statement failed (error " + std::to_string(db.errorNumber()) +
                 "): " + db.errorMessage();
    db.disconnect();
    return ok;
}

double fieldNumber(const ProductRecord& record, const char* name) {
    const std::string& text = productField(record, name);
    return text.empty() ? kMissingValue : std::strtod(text.c_str(), nullptr);
}

void setField(ProductRecord& record, const char* name, const std::string& text) {
    const int c = columnIndex(name);
    if (c >= 0) record[c] = text;
}

// IWV (kg m^-2) of an IPWV (cm): 1 cm of water is 10 kg m^-2.
std::string iwvText(const std::string& cm) {
    if (cm.empty()) return "";
    const double v = std::strtod(cm.c_str(), nullptr) * 10;
    if (std::fabs(v) < 1e9) {
        char buffer[64];
        std::snprintf(buffer, sizeof(buffer), "%.5f", v);
        return buffer;
    }
    return productNumber(v, "%.5f");
}

}  // namespace

const std::string& productField(const ProductRecord& record, const char* name) {
    static const std::string none;
    const int c = columnIndex(name);
    return c >= 0 ? record[c] : none;
}

void classifyRecord(const std::string& minute, ProductRecord& record) {
    const double ipwv = fieldNumber(record, "ipwv_cm");
    const double p = fieldNumber(record, "pressure_hpa"), t = fieldNumber(record, "temperature_c"),
                 rh = fieldNumber(record, "rh_percent");
    if (ipwv != kMissingValue) {
        setField(record, "iwv_kg_m2", iwvText(productField(record, "ipwv_cm")));
        setField(record, "iwv_sigma_kg_m2", iwvText(productField(record, "ipwv_sigma_cm")));
        int flags = 1;
        const double elevation = fieldNumber(record, "elevation_deg");
        if (elevation == kMissingValue)
            flags |= 16;
        else if (elevation < 60)
            flags |= 2;
        if (productField(record, "ipwv_sigma_cm").empty()) flags |= 4;
        const double ip = fieldNumber(record, "input_pressure"),
                     it = fieldNumber(record, "input_temperature"),
                     ih = fieldNumber(record, "input_humidity");
        if (ip == kMissingValue || it == kMissingValue || ih == kMissingValue)
            flags |= 32;
        else if (ip != p || it != t || ih != rh)
            flags |= 8;
        setField(record, "flags", std::to_string(flags));
        return;
    }
    const char* reason;
    const double rowElevation = fieldNumber(record, "row_elevation");
    if (productField(record, "row_present").empty())
        reason = "no_satellite_rows";
    else if (!(rowElevation >= kRetrievalElevationCutoff && rowElevation <= 90))
        reason = "below_cutoff";
    else if (p == kMissingValue || t == kMissingValue || rh == kMissingValue)
        reason = "weather_missing";
    else {
        // What the retrieval computes from these inputs.
        const double lat = fieldNumber(record, "latitude_deg"),
                     height = fieldNumber(record, "height_m");
        const double value =
            (lat == kMissingValue || height == kMissingValue)
                ? -1
                : niellRT(minute + ":00", height, lat, rowElevation, p, t + 273.15, rh);
        reason = value >= 0 ? "not_retrieved" : "negative_value";
    }
    setField(record, "empty_reason", reason);
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

    bool inputs = false;
    bool ok = hasInputColumns(schema, &inputs, error);
    // The value of a minute as stored by the retrieval program, with the
    // weather readings it was computed from (NULL before they were kept,
    // and in a copy made before); of several runs in one minute, the last.
    ok = ok &&
         fill("SELECT data, ipwv_value, ipwv_sigma, elevation, prn, satellites, " +
                  std::string(inputs ? "pressure, temperature, humidity" : "NULL, NULL, NULL") +
                  in + "ipwv" + range + " ORDER BY data, id",
              {"ipwv_cm", "ipwv_sigma_cm", "elevation_deg", "prn", "satellites", "input_pressure",
               "input_temperature", "input_humidity"},
              true, records, error);
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
    ok = ok && fill("SELECT data, latitude, longitude, height, elevation, 1" + in +
                        "troposphericDelay" + range +
                        " AND data LIKE '%:00' ORDER BY data, (elevation BETWEEN 30 AND 90) DESC, "
                        "elevation DESC, prn ASC",
                    {"latitude_deg", "longitude_deg", "height_m", "row_elevation", "row_present"},
                    false, records, error);
    if (ok)
        for (auto& [minute, record] : records) classifyRecord(minute, record);
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
    // The fewest digits that read back: once some number of digits does,
    // every larger one does too, so the search halves the range each time.
    int lo = 0, hi = 17;  // 17 digits after the point always read back
    while (lo < hi) {
        const int digits = (lo + hi) / 2;
        std::snprintf(buffer, sizeof(buffer), "%.*e", digits, value);
        if (readsBack(buffer, value))
            hi = digits;
        else
            lo = digits + 1;
    }
    std::snprintf(buffer, sizeof(buffer), "%.*e", lo, value);
    return buffer;
}

std::vector<std::pair<std::string, std::string>> productDescription(const ProductMetadata& meta,
                                                                    time_t first, time_t last) {
    std::vector<std::pair<std::string, std::string>> d = {
        {"product",
         "IPWV, integrated precipitable water vapour (cm), also as IWV (kg m^-2), one record per "
         "minute, with the minute's surface weather and the satellite and antenna position it "
         "was computed from"},
        {"input",
         "surface weather: the minute's pressure, temperature and relative humidity readings, "
         "with the antenna position and one satellite's elevation from the receiver. The value "
         "is not a GNSS delay estimate: no total or wet zenith delay is estimated from GNSS "
         "observations and there are no gradients"},
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
         "degrees north; longitude_deg degrees east; height_m m (as the receiver reports it); "
         "iwv_kg_m2 kg m^-2 (ipwv_cm x 10); iwv_sigma_kg_m2 kg m^-2; flags bit word; "
         "empty_reason code"},
        {"missing", "an empty field (CSV) or null (JSON)"},
    };
    // The processing, under the key names of SINEX-TRO's TROP/DESCRIPTION
    // block where one fits, in that block's units.
    const std::vector<std::pair<std::string, std::string>> processing = {
        {"TIME SYSTEM", "G"},
        {"TROPO SAMPLING INTERVAL", "60"},
        {"SAMPLING INTERVAL", "60"},
        {"ELEVATION CUTOFF ANGLE", "30"},
        {"TROP MAPPING FUNCTION", "Niell"},
        {"REFRACTIVITY COEFFICIENTS", "77.6 70.29 375406"},
        {"refractivity_note",
         "k1 77.6 K/hPa is the one implied by the Saastamoinen constant 0.0022767 m/hPa; the "
         "conversion to IPWV uses k'2 = 22.02 K/hPa and k3 = 375406 K^2/hPa, so k2 = k'2 + k1 "
         "Mw/Md = 70.29 K/hPa (Mw/Md = 0.622)"},
    };
    d.insert(d.end(), processing.begin(), processing.end());
    // The flags and reasons, each bit and code with its meaning.
    std::string flags, reasons;
    for (int i = 0; i < kProductFlagCount; ++i)
        flags += (i ? "; " : "") + std::to_string(kProductFlags[i].bit) + " " +
                 kProductFlags[i].name + ": " + kProductFlags[i].meaning;
    for (int i = 0; i < kProductReasonCount; ++i)
        reasons += std::string(i ? "; " : "") + kProductReasons[i].code + ": " +
                   kProductReasons[i].meaning;
    d.emplace_back("flags", "sum of the bits of a value: " + flags);
    d.emplace_back("empty_reason", "the first that holds of a minute without a value: " + reasons);
    for (const auto& field : meta.stationFields) d.push_back(field);
    d.emplace_back("documentation", "docs/science.md of the station software (ulmet)");
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

bool forEachProductMinute(time_t first, time_t last, const std::string& schema,
                          const std::function<void(time_t, const ProductRecord&)>& use,
                          std::string* error) {
    for (time_t from = first; from <= last; from += kChunkSeconds) {
        const time_t to = std::min(last, from + kChunkSeconds - 60);
        ProductRecords records;
        if (!loadProduct(from, to, schema, records, error)) return false;
        time_t t = from;
        for (const auto& entry : records) {
            use(t, entry.second);
            t += 60;
        }
    }
    return true;
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
