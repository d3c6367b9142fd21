#include "weather/WeatherImport.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>
#include <unordered_set>

#include "DBConfig.h"
#include "Database.h"
#include "utilities.h"

namespace {

std::string trim(const std::string& s) {
    std::size_t a = 0, b = s.size();
    while (a < b && std::isspace(static_cast<unsigned char>(s[a]))) ++a;
    while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1]))) --b;
    return s.substr(a, b - a);
}

// Empty text: absent (true, no value); a number: true with the value;
// anything else: false.
bool optionalNumber(const std::string& raw, bool* has, double* value) {
    std::string text = trim(raw);
    *has = false;
    if (text.empty()) return true;
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || errno != 0 || !std::isfinite(v)) return false;
    *has = true;
    *value = v;
    return true;
}

std::vector<std::string> splitKeepingEmpty(const std::string& line, const char* seps) {
    std::vector<std::string> out(1);
    for (char c : line) {
        if (std::strchr(seps, c) != nullptr)
            out.emplace_back();
        else
            out.back() += c;
    }
    return out;
}

// Accepts "YYYY-MM-DD HH:MM:SS", also with 'T' and a final 'Z'.
bool normaliseTime(std::string text, std::string* out) {
    text = trim(text);
    if (!text.empty() && (text.back() == 'Z' || text.back() == 'z')) text.pop_back();
    if (text.size() == 19 && (text[10] == 'T' || text[10] == 't')) text[10] = ' ';
    if (text.size() != 19 || !isDateTimeText(text)) return false;
    *out = text;
    return true;
}

// Reads one line without its '\n' (and a '\r' before it); false at the
// end of the stream. A line longer than kLongestLine is kept only up to
// there and *tooLong set: the rest is read past, never stored.
bool readLine(std::istream& in, std::string* line, bool* tooLong) {
    line->clear();
    *tooLong = false;
    std::streambuf* buf = in.rdbuf();
    bool any = false;
    for (;;) {
        const int c = buf->sbumpc();
        if (c == std::char_traits<char>::eof()) break;
        any = true;
        if (c == '\n') break;
        if (line->size() < kLongestLine)
            line->push_back(static_cast<char>(c));
        else
            *tooLong = true;
    }
    if (!any) in.setstate(std::ios::eofbit | std::ios::failbit);
    if (!line->empty() && line->back() == '\r') line->pop_back();
    return any;
}

void refuseLine(ParsedWeatherFile& f, int line, const std::string& what) {
    ++f.linesRefused;
    if (f.refused.size() < kMostReported) f.refused.push_back({line, what});
}

const char* const kTooLong = "longer than 4096 bytes";

// The next data line of a file, `n` counting every line read: an
// over-long line is refused under its number, a blank one skipped. False
// at the end of the file.
bool nextDataLine(std::istream& in, ParsedWeatherFile& f, int* n, std::string* line) {
    bool tooLong = false;
    while (readLine(in, line, &tooLong)) {
        ++*n;
        if (tooLong)
            refuseLine(f, *n, kTooLong);
        else if (!trim(*line).empty())
            return true;
    }
    return false;
}

void accept(ParsedWeatherFile& f, int line, const std::string& datatime, WeatherSample s) {
    if (s.empty()) {
        refuseLine(f, line, "no value");
        return;
    }
    // An impossible value goes alone; the line's other values stay.
    std::vector<std::string> why;
    f.valuesRefused += dropImpossible(&s, &why);
    for (const std::string& w : why)
        if (f.refusedValues.size() < kMostReported) f.refusedValues.push_back({line, w});
    if (!s.empty()) f.readings.push_back({line, datatime, s});
}

void parseStationLog(std::istream& in, ParsedWeatherFile& f) {
    std::string line;
    int n = 0;
    while (nextDataLine(in, f, &n, &line)) {
        std::vector<std::string> fields = splitKeepingEmpty(trim(line), ",;\t");
        std::string datatime;
        WeatherSample s;
        if (fields.size() != 4 || !normaliseTime(fields[0], &datatime) ||
            !optionalNumber(fields[1], &s.hasPressure, &s.pressure) ||
            !optionalNumber(fields[2], &s.hasTemperature, &s.temperature) ||
            !optionalNumber(fields[3], &s.hasHumidity, &s.humidity)) {
            refuseLine(f, n, "not \"YYYY-MM-DD HH:MM:SS,P,T,RH\"");
            continue;
        }
        accept(f, n, datatime, s);
    }
}

void parseCsv(std::istream& in, ParsedWeatherFile& f) {
    std::string line;
    int n = 0;
    int column[4] = {-1, -1, -1, -1};  // time, P, T, RH
    std::size_t width = 0;
    bool tooLong = false;
    while (readLine(in, &line, &tooLong)) {
        ++n;
        if (tooLong) {
            f.error = std::string("the CSV header is ") + kTooLong;
            return;
        }
        if (trim(line).empty()) continue;
        std::vector<std::string> head = splitKeepingEmpty(line, ",");
        static const char* const names[] = {"time", "pressure_hPa", "temperature_C",
                                            "humidity_pct"};
        for (std::size_t i = 0; i < head.size(); ++i) {
            std::string name = trim(head[i]);
            if (name.size() >= 2 && name.front() == '"' && name.back() == '"')
                name = name.substr(1, name.size() - 2);
            for (int k = 0; k < 4; ++k)
                if (name == names[k]) column[k] = static_cast<int>(i);
        }
        width = head.size();
        break;
    }
    if (column[0] < 0 || (column[1] < 0 && column[2] < 0 && column[3] < 0)) {
        f.error =
            "the CSV header names no time column or no pressure_hPa, temperature_C, "
            "humidity_pct column";
        return;
    }
    while (nextDataLine(in, f, &n, &line)) {
        std::vector<std::string> cells = splitKeepingEmpty(line, ",");
        std::string datatime;
        WeatherSample s;
        bool* has[3] = {&s.hasPressure, &s.hasTemperature, &s.hasHumidity};
        double* value[3] = {&s.pressure, &s.temperature, &s.humidity};
        bool ok = cells.size() == width && normaliseTime(cells[column[0]], &datatime);
        for (int k = 0; ok && k < 3; ++k)
            if (column[k + 1] >= 0) ok = optionalNumber(cells[column[k + 1]], has[k], value[k]);
        if (!ok) {
            refuseLine(f, n,
                       "not a row of " + std::to_string(width) + " cells with a time and numbers");
            continue;
        }
        accept(f, n, datatime, s);
    }
}

// RINEX: the label in columns 61 to 80.
std::string labelOf(const std::string& line) {
    return line.size() > 60 ? trim(line.substr(60, 20)) : std::string();
}

void parseRinex(std::istream& in, ParsedWeatherFile& f) {
    std::string line;
    int n = 0;
    double version = 0.0;
    std::vector<std::string> types;
    int typeCount = -1;
    bool ended = false;
    bool tooLong = false;
    while (readLine(in, &line, &tooLong)) {
        ++n;
        if (tooLong) {
            f.error = "line " + std::to_string(n) + ": a header line " + kTooLong;
            return;
        }
        std::string label = labelOf(line);
        if (label == "RINEX VERSION / TYPE") {
            version = std::atof(line.substr(0, 9).c_str());
            if (line.size() < 21 || line[20] != 'M') {
                f.error = "line " + std::to_string(n) + ": not a meteorological RINEX file";
                return;
            }
        } else if (label == "# / TYPES OF OBSERV") {
            if (typeCount < 0) typeCount = std::atoi(line.substr(0, 6).c_str());
            if (typeCount > kMostRinexTypes) {
                f.error = "line " + std::to_string(n) + ": " + std::to_string(typeCount) +
                          " observation types announced, at most " +
                          std::to_string(kMostRinexTypes) + " are read";
                return;
            }
            for (std::size_t at = 6; at + 6 <= 60 && static_cast<int>(types.size()) < typeCount;
                 at += 6)
                types.push_back(trim(line.substr(at, 6)));
        } else if (label == "END OF HEADER") {
            ended = true;
            break;
        }
    }
    if (!ended || version < 2.0 || typeCount <= 0 || static_cast<int>(types.size()) != typeCount) {
        f.error =
            "no complete RINEX meteorological header (version, # / TYPES OF OBSERV, END OF "
            "HEADER)";
        return;
    }
    const bool three = version >= 3.0;
    const std::size_t epochWidth = three ? 20 : 18;
    while (nextDataLine(in, f, &n, &line)) {
        const int first = n;
        std::istringstream epoch(line.substr(0, epochWidth));
        int y = 0, mo = 0, d = 0, h = 0, mi = 0;
        double sec = 0;
        bool ok =
            line.size() > epochWidth && static_cast<bool>(epoch >> y >> mo >> d >> h >> mi >> sec);
        std::string tail;
        epoch >> tail;
        ok = ok && tail.empty() && sec == std::floor(sec);
        if (!three && ok) y += y < 80 ? 2000 : 1900;
        // The values: 7 columns each, 8 on the epoch's line, then
        // continuation lines of 4 blanks and up to 10 values.
        std::vector<std::string> cells;
        std::string rest = line.size() > epochWidth ? line.substr(epochWidth) : std::string();
        for (std::size_t at = 0; at < rest.size() && static_cast<int>(cells.size()) < typeCount;
             at += 7)
            cells.push_back(rest.substr(at, 7));
        while (ok && static_cast<int>(cells.size()) < typeCount && typeCount > 8 &&
               in.rdbuf()->sgetc() == ' ') {
            std::string more;
            readLine(in, &more, &tooLong);
            ++n;
            ok = !tooLong;
            for (std::size_t at = 4; at < more.size() && static_cast<int>(cells.size()) < typeCount;
                 at += 7)
                cells.push_back(more.substr(at, 7));
        }
        while (static_cast<int>(cells.size()) < typeCount) cells.emplace_back();  // blank: missing
        char text[32];
        (void)std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", y, mo, d, h, mi,
                            static_cast<int>(sec));
        std::string datatime = text;
        ok = ok && isDateTimeText(datatime);
        WeatherSample s;
        for (int k = 0; ok && k < typeCount; ++k) {
            bool has = false;
            double v = 0.0;
            ok = optionalNumber(cells[k], &has, &v);
            if (!ok || !has) continue;
            if (types[k] == "PR") {
                s.hasPressure = true;
                s.pressure = v;
            } else if (types[k] == "TD") {
                s.hasTemperature = true;
                s.temperature = v;
            } else if (types[k] == "HR") {
                s.hasHumidity = true;
                s.humidity = v;
            }
        }
        if (!ok) {
            refuseLine(f, first, "not a RINEX meteorological data record");
            continue;
        }
        accept(f, first, datatime, s);
    }
}

}  // namespace

const char* importFormatName(ImportFormat format) {
    switch (format) {
        case ImportFormat::Rinex:
            return "RINEX meteorological";
        case ImportFormat::StationLog:
            return "weather-station log";
        case ImportFormat::Csv:
            return "CSV";
        case ImportFormat::Auto:
            break;
    }
    return "unknown";
}

ParsedWeatherFile parseWeatherFile(std::istream& in, ImportFormat format) {
    ParsedWeatherFile f;
    if (format == ImportFormat::Auto) {
        // The first line decides; the stream is read again from its start.
        std::string first;
        bool tooLong = false;
        std::streampos start = in.tellg();
        readLine(in, &first, &tooLong);
        if (labelOf(first) == "RINEX VERSION / TYPE")
            format = ImportFormat::Rinex;
        else if (first.find("time") != std::string::npos &&
                 (first.find("pressure_hPa") != std::string::npos ||
                  first.find("temperature_C") != std::string::npos ||
                  first.find("humidity_pct") != std::string::npos))
            format = ImportFormat::Csv;
        else
            format = ImportFormat::StationLog;
        in.clear();
        in.seekg(start);
    }
    f.format = format;
    if (format == ImportFormat::Rinex)
        parseRinex(in, f);
    else if (format == ImportFormat::Csv)
        parseCsv(in, f);
    else
        parseStationLog(in, f);
    return f;
}

namespace {

const char* const kWeatherTables[] = {"pressure", "temperature", "humidity"};

// True when each weather table has its unique key on the date-time, the
// guard that makes a second import store nothing.
bool weatherKeysPresent(Database& db) {
    return db.intQuery(
               "SELECT COUNT(DISTINCT table_name) FROM information_schema.statistics "
               "WHERE table_schema = DATABASE() AND non_unique = 0 AND column_name = 'data' "
               "AND index_name = CONCAT('uq_', table_name, '_data') "
               "AND table_name IN ('pressure', 'temperature', 'humidity');") == 3;
}

bool hasValue(const WeatherSample& s, int table) {
    return table == 0 ? s.hasPressure : (table == 1 ? s.hasTemperature : s.hasHumidity);
}
double valueOf(const WeatherSample& s, int table) {
    return table == 0 ? s.pressure : (table == 1 ? s.temperature : s.humidity);
}

// One table's share of an import: the readings (in date-time order) that
// carry its quantity, stored in batches on a connection of its own.
struct TableImport {
    int table = 0;
    std::vector<const ImportReading*> rows;
    long stored = 0, present = 0;
    std::string failure;
};

// The date-times of `table` already stored from `first` to `last`; empty
// when the look-up fails (no SELECT grant): the unique key still decides.
std::unordered_set<std::string> storedBetween(Database& db, int table, const std::string& first,
                                              const std::string& last) {
    std::unordered_set<std::string> out;
    const std::string sql = std::string("SELECT data FROM ") + kWeatherTables[table] +
                            " WHERE data BETWEEN '" + first + "' AND '" + last + "';";
    MYSQL_RES* result = db.query(sql.c_str());
    if (result == nullptr) return out;
    while (MYSQL_ROW row = mysql_fetch_row(result))
        if (row[0] != nullptr) out.insert(row[0]);
    db.free();
    return out;
}

// Stops early when another table's import failed (`failed`).
void importTable(TableImport& job, std::size_t batch, std::atomic<bool>& failed) {
    Database db;
    if (db.openConnection(host, database, user, password) != 200) {
        job.failure = "no connection: " + db.errorMessage();
        failed = true;
        return;
    }
    const char* name = kWeatherTables[job.table];
    const std::string head =
        std::string("INSERT IGNORE INTO ") + name + " (" + name + "_value, data) VALUES ";
    std::string sql;
    char tuple[64];
    for (std::size_t from = 0; from < job.rows.size() && !failed; from += batch) {
        const std::size_t to = std::min(job.rows.size(), from + batch);
        // What is there already is not sent again (a second import costs a
        // look-up per batch); a row stored meanwhile is refused by the key.
        const std::unordered_set<std::string> there =
            storedBetween(db, job.table, job.rows[from]->datatime, job.rows[to - 1]->datatime);
        sql = head;
        long rows = 0, present = 0;
        for (std::size_t i = from; i < to; ++i) {
            const ImportReading& r = *job.rows[i];
            if (there.count(r.datatime) > 0) {
                ++present;
                continue;
            }
            // The value text of format_query, as the daemon stores it.
            (void)std::snprintf(
                tuple, sizeof tuple, "%s(%.2f,'%s')", rows > 0 ? "," : "",
                static_cast<double>(static_cast<float>(valueOf(r.sample, job.table))),
                r.datatime.c_str());
            sql += tuple;
            ++rows;
        }
        std::string problem;
        int stored = 0;
        if (rows > 0) {
            if (db.updateQuery(sql.c_str())) {
                problem = db.errorMessage();
            } else if ((stored = db.intQuery("SELECT ROW_COUNT();")) < 0) {
                problem = "no count of the rows stored: " + db.errorMessage();
            }
        }
        if (!problem.empty()) {
            int low = job.rows[from]->line, high = low;
            for (std::size_t i = from; i < to; ++i) {
                low = std::min(low, job.rows[i]->line);
                high = std::max(high, job.rows[i]->line);
            }
            job.failure = std::string(name) + " of lines " + std::to_string(low) + " to " +
                          std::to_string(high) + ": " + problem;
            failed = true;
            break;
        }
        // Autocommit: each batch is one statement, stored whole or not at all.
        job.stored += stored;
        job.present += present + (rows - stored);
    }
    db.disconnect();
}

}  // namespace

ImportSummary storeWeatherReadings(const std::vector<ImportReading>& readings, int batch) {
    ImportSummary sum;
    {
        Database db;
        if (db.openConnection(host, database, user, password) != 200) {
            sum.failure = "no connection: " + db.errorMessage();
            sum.failed = 1;
            return sum;
        }
        if (!weatherKeysPresent(db)) {
            sum.failure =
                "the tables pressure, temperature and humidity have no unique key on their time "
                "(uq_<table>_data): database not upgraded: run ulmet-install-db";
            sum.failed = 1;
            db.disconnect();
            return sum;
        }
        db.disconnect();
    }
    // Date-time order: each batch covers a short stretch of time, which the
    // look-up of what is stored reads from the key.
    std::vector<const ImportReading*> sorted;
    sorted.reserve(readings.size());
    for (const ImportReading& r : readings) sorted.push_back(&r);
    const auto earlier = [](const ImportReading* a, const ImportReading* b) {
        return a->datatime < b->datatime;
    };
    if (!std::is_sorted(sorted.begin(), sorted.end(), earlier))
        std::stable_sort(sorted.begin(), sorted.end(), earlier);
    TableImport jobs[3];
    for (int table = 0; table < 3; ++table) {
        jobs[table].table = table;
        for (const ImportReading* r : sorted)
            if (hasValue(r->sample, table)) jobs[table].rows.push_back(r);
    }
    // The three tables on three connections at once: the server works on
    // them side by side.
    const std::size_t step = batch > 0 ? static_cast<std::size_t>(batch) : 1;
    std::atomic<bool> failed{false};
    std::vector<std::thread> threads;
    for (int table = 0; table < 3; ++table)
        threads.emplace_back(importTable, std::ref(jobs[table]), step, std::ref(failed));
    for (std::thread& t : threads) t.join();
    for (const TableImport& job : jobs) {
        sum.stored += job.stored;
        sum.present += job.present;
        if (!job.failure.empty()) {
            if (!sum.failure.empty()) sum.failure += "; ";
            sum.failure += job.failure;
            ++sum.failed;
        }
    }
    return sum;
}
