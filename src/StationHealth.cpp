#include "StationHealth.h"

#include <fcntl.h>
#include <mysql.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "Backfill.h"
#include "DBConfig.h"
#include "Database.h"

extern char** environ;

namespace health {

namespace {

std::string dateTimeText(double when) {
    time_t t = static_cast<time_t>(when);
    struct tm utc = {};
    gmtime_r(&t, &utc);
    char text[32];
    (void)std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &utc);
    return text;
}

double dateTimeValue(const std::string& text) {
    struct tm utc = {};
    const char* end = strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &utc);
    if (end == nullptr || *end != '\0') return -1;
    return static_cast<double>(timegm(&utc));
}

std::string duration(double seconds) {
    char text[64];
    if (seconds < 120)
        (void)std::snprintf(text, sizeof(text), "%.0f s", seconds);
    else if (seconds < 7200)
        (void)std::snprintf(text, sizeof(text), "%.0f min", seconds / 60);
    else if (seconds < 2 * 86400)
        (void)std::snprintf(text, sizeof(text), "%.1f h", seconds / 3600);
    else
        (void)std::snprintf(text, sizeof(text), "%.1f days", seconds / 86400);
    return text;
}

std::string number(double value, const char* format = "%.0f") {
    char text[64];
    (void)std::snprintf(text, sizeof(text), format, value);
    return text;
}

std::string readText(const std::string& path, bool* ok) {
    std::ifstream in(path, std::ios::binary);
    *ok = static_cast<bool>(in);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The minute of a spool line: the last quoted date-time in it.
double rowMinute(const std::string& line) {
    std::string::size_type end = line.rfind("')");
    if (end == std::string::npos || end < 19) return -1;
    return dateTimeValue(line.substr(end - 19, 19));
}

// First row of `query`, or an empty vector (error in `figures`).
std::vector<std::string> firstRow(Database& db, const std::string& query, Figures* figures) {
    std::vector<std::string> values;
    MYSQL_RES* result = db.query(query.c_str());
    if (result == nullptr) {
        if (db.errorNumber() != 0 && figures->databaseError.empty())
            figures->databaseError =
                "error " + std::to_string(db.errorNumber()) + ": " + db.errorMessage();
        return values;
    }
    MYSQL_ROW row = mysql_fetch_row(result);
    unsigned int n = mysql_num_fields(result);
    for (unsigned int i = 0; row != nullptr && i < n; ++i)
        values.push_back(row[i] == nullptr ? "" : row[i]);
    db.free();
    return values;
}

double value(const std::vector<std::string>& row, std::size_t i, double missing = -1) {
    if (i >= row.size() || row[i].empty()) return missing;
    char* end = nullptr;
    double v = std::strtod(row[i].c_str(), &end);
    return *end == '\0' ? v : missing;
}

// "active", "inactive", "failed", ... of a unit; "" without systemd.
std::string unitState(const std::string& unit) {
    int out[2];
    if (pipe(out) != 0) return "";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::string u = unit;
    char name[] = "systemctl", isActive[] = "is-active";
    char* argv[] = {name, isActive, u.data(), nullptr};
    pid_t child = 0;
    int spawned = posix_spawnp(&child, name, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string text;
    char buffer[256];
    for (ssize_t n; spawned == 0 && (n = read(out[0], buffer, sizeof(buffer))) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    close(out[0]);
    if (spawned == 0) waitpid(child, nullptr, 0);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

}  // namespace

const char* levelName(Level level) {
    switch (level) {
        case Level::Ok:
            return "OK";
        case Level::Warning:
            return "WARNING";
        case Level::Critical:
            return "CRITICAL";
    }
    return "?";
}

std::map<std::string, double> readMetrics(const std::string& text) {
    std::map<std::string, double> values;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::string::size_type space = line.rfind(' ');
        if (space == std::string::npos) continue;
        char* end = nullptr;
        double v = std::strtod(line.c_str() + space + 1, &end);
        if (*end == '\0') values[line.substr(0, space)] = v;
    }
    return values;
}

void lastHour(double now, std::string* from, std::string* to) {
    double minute = std::floor(now / 60) * 60;
    *from = dateTimeText(minute - 61 * 60);
    *to = dateTimeText(minute - 2 * 60 + 59);
}

void collectDaemonState(const Sources& sources, Figures* f) {
    bool ok = false;
    std::string text = readText(sources.stateDir + "/" + sources.daemonMetrics, &ok);
    f->daemonState = ok && !text.empty();
    if (!f->daemonState) return;
    std::map<std::string, double> m = readMetrics(text);
    auto get = [&m](const char* name, double missing) {
        auto it = m.find(name);
        return it == m.end() ? missing : it->second;
    };
    f->daemonStateWritten = get("ulmet_corvana_state_timestamp_seconds", -1);
    f->daemonRunning = get("ulmet_corvana_running", 0) == 1;
    f->lastValidLog = get("ulmet_corvana_last_valid_log_timestamp_seconds", -1);
    f->reinitialisations = get("ulmet_corvana_receiver_reinitialisations_total", 0);
    f->droppedLogs = get("ulmet_corvana_logs_dropped_total", 0);
    f->rowsReceivedLastHour = get("ulmet_corvana_rows_received_last_hour", -1);
    double first = get("ulmet_corvana_rows_received_first_minute_timestamp_seconds", -1);
    double last = get("ulmet_corvana_rows_received_last_minute_timestamp_seconds", -1);
    if (std::isfinite(first) && std::isfinite(last) && first >= 0 && last >= first) {
        f->rowsReceivedFirst = first;
        f->rowsReceivedLast = last;
    }
    f->rowsLost = get("ulmet_corvana_rows_lost_total", 0);
    double offset = get("ulmet_corvana_clock_offset_seconds", std::nan(""));
    f->clockKnown = std::isfinite(offset);
    f->clockOffset = f->clockKnown ? offset : 0;
}

void collectSpool(const Sources& sources, Figures* f) {
    std::string spool = sources.stateDir + "/" + sources.spoolName;
    // The head file names the byte offset of the first queued line.
    bool ok = false;
    std::string head = readText(spool + ".head", &ok);
    unsigned long long inode = 0, offset = 0;
    struct stat st = {};
    if (!ok || std::sscanf(head.c_str(), "%20llu %20llu", &inode, &offset) != 2 ||
        stat(spool.c_str(), &st) != 0 || inode != static_cast<unsigned long long>(st.st_ino))
        offset = 0;
    std::ifstream in(spool, std::ios::binary);
    if (in && offset > 0) in.seekg(static_cast<std::streamoff>(offset));
    f->spoolRows = 0;
    f->spoolRowsReceivedWindow = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.empty()) continue;
        double minute = rowMinute(line);
        if (f->spoolRows++ == 0) f->spoolOldest = minute;
        if (f->rowsReceivedFirst >= 0 && minute >= f->rowsReceivedFirst &&
            minute < f->rowsReceivedLast + 60)
            ++f->spoolRowsReceivedWindow;
    }
    std::ifstream rejected(spool + ".rejected", std::ios::binary);
    f->rejectedLines = 0;
    for (std::string line; std::getline(rejected, line);) ++f->rejectedLines;
    struct statvfs fs = {};
    if (statvfs(sources.stateDir.c_str(), &fs) == 0) {
        f->freeBytes = static_cast<double>(fs.f_bavail) * static_cast<double>(fs.f_frsize);
        f->totalBytes = static_cast<double>(fs.f_blocks) * static_cast<double>(fs.f_frsize);
    }
}

void collectDatabase(Figures* f) {
    lastHour(f->now, &f->hourFrom, &f->hourTo);
    Database db;
    if (db.openConnection(host, database, user, password) != 200) {
        f->databaseAnswers = false;
        f->databaseError = "error " + std::to_string(db.errorNumber()) + ": " + db.errorMessage();
        return;
    }
    // Minutes before the station's first row are not missing: they were
    // before the station existed.
    std::vector<std::string> first = firstRow(db, "SELECT MIN(data) FROM troposphericDelay", f);
    if (!first.empty() && !first[0].empty()) f->firstRowTime = dateTimeValue(first[0]);
    const double hourStart = dateTimeValue(f->hourFrom), hourEnd = dateTimeValue(f->hourTo) + 1;
    const double judgedStart =
        f->firstRowTime < 0 ? hourEnd : std::max(hourStart, std::floor(f->firstRowTime / 60) * 60);
    f->minutesJudged = judgedStart >= hourEnd ? 0 : std::lround((hourEnd - judgedStart) / 60);
    f->judgedFrom = dateTimeText(std::min(judgedStart, hourEnd));
    std::string period = " WHERE data BETWEEN '" + f->hourFrom + "' AND '" + f->hourTo + "'";
    std::vector<std::string> rows =
        firstRow(db, "SELECT COUNT(*), COUNT(DISTINCT data) FROM troposphericDelay" + period, f);
    std::vector<std::string> last =
        firstRow(db, "SELECT ipwv_value, ipwv_sigma, data FROM ipwv ORDER BY data DESC LIMIT 1", f);
    std::vector<std::string> minutes =
        firstRow(db,
                 "SELECT COUNT(DISTINCT data) FROM ipwv WHERE data BETWEEN '" + f->judgedFrom +
                     "' AND '" + f->hourTo + "'",
                 f);
    // The rows stored for the minutes the receiver's count covers.
    std::vector<std::string> received;
    if (f->rowsReceivedFirst >= 0)
        received = firstRow(db,
                            "SELECT COUNT(*) FROM troposphericDelay WHERE data BETWEEN '" +
                                dateTimeText(f->rowsReceivedFirst) + "' AND '" +
                                dateTimeText(f->rowsReceivedLast + 59) + "'",
                            f);
    db.disconnect();
    f->databaseAnswers = !rows.empty() && !minutes.empty();
    if (!f->databaseAnswers) return;
    f->rowsStoredLastHour = static_cast<long>(value(rows, 0, 0));
    f->minutesWithRowsLastHour = static_cast<long>(value(rows, 1, 0));
    f->minutesWithoutIpwvLastHour = f->minutesJudged - static_cast<long>(value(minutes, 0, 0));
    if (!received.empty()) f->rowsStoredReceiverWindow = static_cast<long>(value(received, 0, 0));
    if (last.size() == 3) {
        f->lastIpwv = value(last, 0);
        f->lastIpwvSigma = value(last, 1);
        f->lastIpwvSigmaKnown = !last[1].empty();
        f->lastIpwvTime = dateTimeValue(last[2]);
    }
    std::string error;
    if (f->minutesJudged == 0 ||
        !minutesWithoutIpwv(f->judgedFrom, f->hourTo, &f->recomputable, &error))
        f->recomputable.clear();
}

void collectUnits(Figures* f) {
    struct stat st = {};
    if (stat("/run/systemd/system", &st) != 0) return;  // systemd does not run here
    f->daemonUnit = unitState("corvana.service");
    f->retrievalTimer = unitState("mistrel.timer");
}

Figures collect(const Sources& sources) {
    Figures f;
    f.now = sources.now > 0 ? sources.now : static_cast<double>(time(nullptr));
    collectDaemonState(sources, &f);
    collectSpool(sources, &f);
    collectDatabase(&f);
    if (sources.units) collectUnits(&f);
    return f;
}

std::vector<Line> assess(const Figures& f) {
    std::vector<Line> lines;
    auto add = [&lines](const char* name, Level level, std::string text, std::string advice) {
        lines.push_back({name, level, std::move(text), std::move(advice)});
    };

    // Units, where systemd runs.
    if (!f.daemonUnit.empty()) {
        bool up = f.daemonUnit == "active";
        add("daemon unit", up ? Level::Ok : Level::Critical, "corvana.service is " + f.daemonUnit,
            up ? "" : "start it: systemctl start corvana; see journalctl -u corvana");
    }
    if (!f.retrievalTimer.empty()) {
        bool up = f.retrievalTimer == "active";
        add("retrieval timer", up ? Level::Ok : Level::Critical,
            "mistrel.timer is " + f.retrievalTimer,
            up ? "" : "start it: systemctl start mistrel.timer");
    }

    // The receiver, as the daemon sees it.
    if (!f.daemonState) {
        add("receiver", Level::Critical, "the acquisition daemon has left no state file",
            "is Corvana running in the state directory? see journalctl -u corvana");
    } else if (!f.daemonRunning) {
        add("receiver", Level::Critical, "the acquisition daemon has stopped",
            "start it: systemctl start corvana; see journalctl -u corvana");
    } else if (f.lastValidLog < 0) {
        add("receiver", Level::Critical, "no valid log received since the daemon started",
            "check the receiver's power, cable and port (CORVANA_PORT)");
    } else {
        double age = f.now - f.lastValidLog;
        Level level = age <= 90 ? Level::Ok : age <= 180 ? Level::Warning : Level::Critical;
        std::string text = "last valid log " + duration(age) + " ago";
        if (f.reinitialisations > 0)
            text += ", receiver set up again " + number(f.reinitialisations) + " times";
        if (level == Level::Ok && f.reinitialisations > 0) level = Level::Warning;
        add("receiver", level, text,
            level == Level::Ok ? ""
                               : "check the receiver's power and cable; it resets or has gone "
                                 "silent (journalctl -u corvana)");
    }

    // Rows of the minutes judged; what the receiver's logs gave against
    // what is stored, both for the minutes the daemon's count covers.
    if (f.databaseAnswers) {
        std::string text;
        Level level = Level::Ok;
        if (f.firstRowTime < 0) {
            text = "no rows stored yet";
            level = Level::Warning;
        } else if (f.minutesJudged == 0) {
            text = "the first rows are of " + dateTimeText(f.firstRowTime).substr(0, 16) +
                   ": no whole minute to judge yet";
        } else {
            const long missing = f.minutesJudged - f.minutesWithRowsLastHour;
            text =
                number(static_cast<double>(f.rowsStoredLastHour)) + " rows stored " +
                (f.minutesJudged == 60 ? std::string("in the last hour")
                                       : "since the first rows, of " + f.judgedFrom.substr(0, 16)) +
                ", " + number(static_cast<double>(f.minutesWithRowsLastHour)) + " of " +
                number(static_cast<double>(f.minutesJudged)) + " minutes";
            level = missing <= 2                    ? Level::Ok
                    : f.minutesWithRowsLastHour > 0 ? Level::Warning
                                                    : Level::Critical;
        }
        if (f.rowsReceivedLastHour >= 0 && f.rowsReceivedFirst >= 0 &&
            f.rowsStoredReceiverWindow >= 0) {
            const double stored = static_cast<double>(f.rowsStoredReceiverWindow);
            const double waiting = static_cast<double>(f.spoolRowsReceivedWindow);
            text += "; for the minutes " + dateTimeText(f.rowsReceivedFirst).substr(11, 5) +
                    " to " + dateTimeText(f.rowsReceivedLast).substr(11, 5) +
                    " the receiver's logs gave " + number(f.rowsReceivedLastHour) + " rows, " +
                    number(stored) + " are stored";
            if (waiting > 0) text += ", " + number(waiting) + " wait in the spool";
            if (stored + waiting + 0.5 < f.rowsReceivedLastHour && level == Level::Ok)
                level = Level::Warning;
        }
        add("rows", level, text,
            level == Level::Ok ? ""
                               : "rows are missing: see the receiver and spool lines, and "
                                 "journalctl -u corvana");
    }

    // The spool.
    {
        std::string text = number(static_cast<double>(f.spoolRows)) + " rows wait in the spool";
        Level level = Level::Ok;
        if (f.spoolRows > 0 && f.spoolOldest > 0) {
            double age = f.now - f.spoolOldest;
            text += ", the oldest of " + duration(age) + " ago";
            level = age > 3600 ? Level::Critical : Level::Warning;
        }
        if (f.rowsLost > 0) {
            text += "; " + number(f.rowsLost) + " rows lost (the spool file could not take them)";
            level = Level::Critical;
        }
        add("spool", level, text,
            level == Level::Ok ? ""
                               : "the database does not take rows: see the database line and "
                                 "journalctl -u corvana");
    }
    add("rejected", f.rejectedLines > 0 ? Level::Warning : Level::Ok,
        number(static_cast<double>(f.rejectedLines)) +
            " lines moved to the reject file corvana-spool.sql.rejected",
        f.rejectedLines > 0 ? "read the file: they are not the daemon's rows; remove it when done"
                            : "");
    if (f.daemonState)
        add("checksums", f.droppedLogs > 0 ? Level::Warning : Level::Ok,
            number(f.droppedLogs) + " logs dropped for a wrong or cut checksum since the start",
            f.droppedLogs > 0 ? "a noisy line: check the cable and its connectors" : "");

    // The product.
    if (f.databaseAnswers) {
        if (f.lastIpwvTime < 0 && f.minutesJudged == 0) {
            add("ipwv", Level::Ok, "no IPWV stored yet, and no minute due", "");
        } else if (f.lastIpwvTime < 0) {
            add("ipwv", Level::Critical, "no IPWV stored yet",
                "is mistrel.timer active? see journalctl -u mistrel");
        } else {
            double age = f.now - f.lastIpwvTime;
            Level level = age <= 180 ? Level::Ok : age <= 600 ? Level::Warning : Level::Critical;
            std::string text = "last IPWV " + number(f.lastIpwv, "%.3f") + " cm";
            text += f.lastIpwvSigmaKnown ? " ± " + number(f.lastIpwvSigma, "%.3f") + " cm"
                                         : " (uncertainty unknown)";
            text += ", " + duration(age) + " ago";
            add("ipwv", level, text,
                level == Level::Ok ? "" : "see journalctl -u mistrel and the rows line");
        }
        long missing = f.minutesWithoutIpwvLastHour;
        Level level = missing <= 2 ? Level::Ok : missing <= 30 ? Level::Warning : Level::Critical;
        std::string advice;
        if (!f.recomputable.empty())
            advice = std::to_string(f.recomputable.size()) +
                     " of them have their inputs: ulmet-retrieve --from '" +
                     f.recomputable.front().substr(0, 16) + "' --to '" +
                     f.recomputable.back().substr(0, 16) + "'";
        else if (level != Level::Ok)
            advice = "their inputs are missing: see the rows line and the weather logger";
        if (!f.recomputable.empty() && level == Level::Ok) level = Level::Warning;
        add("ipwv minutes", level,
            std::to_string(missing) + " minutes of the last hour without IPWV" +
                (f.minutesJudged < 60
                     ? " (" + std::to_string(f.minutesJudged) + " since the first rows)"
                     : std::string()),
            advice);
    }

    add("database", f.databaseAnswers ? Level::Ok : Level::Critical,
        f.databaseAnswers ? "the database answers"
                          : "the database does not answer: " + f.databaseError,
        f.databaseAnswers ? "" : "systemctl status mariadb; rows wait in the spool meanwhile");

    if (f.daemonState && f.clockKnown) {
        double off = std::fabs(f.clockOffset);
        Level level = off <= 2 ? Level::Ok : off <= 10 ? Level::Warning : Level::Critical;
        add("clock", level,
            "machine clock " + number(f.clockOffset, "%+.1f") + " s against the receiver's time",
            level == Level::Ok ? ""
                               : "the record depends on this clock: check time synchronisation "
                                 "(timedatectl, chronyc tracking)");
    }

    if (f.freeBytes >= 0 && f.totalBytes > 0) {
        double share = f.freeBytes / f.totalBytes;
        Level level = share < 0.02 || f.freeBytes < 10e6    ? Level::Critical
                      : share < 0.10 || f.freeBytes < 100e6 ? Level::Warning
                                                            : Level::Ok;
        add("disk", level,
            number(f.freeBytes / 1e6, "%.0f") + " MB free (" + number(100 * share, "%.0f") +
                " %) where the spool lives",
            level == Level::Ok ? "" : "free space there: rows are lost once the spool cannot grow");
    }
    return lines;
}

Level worst(const std::vector<Line>& lines) {
    Level level = Level::Ok;
    for (const Line& line : lines)
        if (static_cast<int>(line.level) > static_cast<int>(level)) level = line.level;
    return level;
}

std::string renderText(const std::vector<Line>& lines) {
    std::string text;
    for (const Line& line : lines) {
        char head[64];
        (void)std::snprintf(head, sizeof(head), "%-8s %-15s ", levelName(line.level),
                            line.name.c_str());
        text += head + line.text;
        if (!line.advice.empty()) text += "\n" + std::string(25, ' ') + "-> " + line.advice;
        text += "\n";
    }
    text += std::string("Station: ") + levelName(worst(lines)) + "\n";
    return text;
}

namespace {
std::string jsonText(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += std::string("\\") + c;
        else if (static_cast<unsigned char>(c) < 0x20)
            out += number(static_cast<unsigned char>(c), "\\u%04.0f");
        else
            out += c;
    }
    return out + "\"";
}
std::string jsonNumber(double v, bool known = true) {
    if (!known || !std::isfinite(v)) return "null";
    return number(v, "%.15g");
}
}  // namespace

std::string renderJson(const Figures& f, const std::vector<Line>& lines) {
    std::string j =
        "{\"status\":" + jsonText(levelName(worst(lines))) + ",\"now\":" + jsonNumber(f.now);
    auto field = [&j](const char* name, const std::string& v) {
        j += ",\"" + std::string(name) + "\":" + v;
    };
    field("last_valid_log", jsonNumber(f.lastValidLog, f.lastValidLog >= 0));
    field("receiver_reinitialisations", jsonNumber(f.reinitialisations, f.daemonState));
    field("rows_stored_last_hour",
          jsonNumber(static_cast<double>(f.rowsStoredLastHour), f.rowsStoredLastHour >= 0));
    field("rows_received_last_hour",
          jsonNumber(f.rowsReceivedLastHour, f.rowsReceivedLastHour >= 0));
    field("rows_received_first_minute", jsonNumber(f.rowsReceivedFirst, f.rowsReceivedFirst >= 0));
    field("rows_stored_of_received_minutes",
          jsonNumber(static_cast<double>(f.rowsStoredReceiverWindow),
                     f.rowsStoredReceiverWindow >= 0));
    field("first_row_time", jsonNumber(f.firstRowTime, f.firstRowTime >= 0));
    field("minutes_judged_last_hour", jsonNumber(static_cast<double>(f.minutesJudged)));
    field("spool_rows", jsonNumber(static_cast<double>(f.spoolRows)));
    field("spool_oldest", jsonNumber(f.spoolOldest, f.spoolOldest >= 0));
    field("rows_lost", jsonNumber(f.rowsLost));
    field("rejected_lines", jsonNumber(static_cast<double>(f.rejectedLines)));
    field("logs_dropped", jsonNumber(f.droppedLogs, f.daemonState));
    field("last_ipwv_cm", jsonNumber(f.lastIpwv, f.lastIpwvTime >= 0));
    field("last_ipwv_sigma_cm", jsonNumber(f.lastIpwvSigma, f.lastIpwvSigmaKnown));
    field("last_ipwv_time", jsonNumber(f.lastIpwvTime, f.lastIpwvTime >= 0));
    field("minutes_without_ipwv_last_hour",
          jsonNumber(static_cast<double>(f.minutesWithoutIpwvLastHour),
                     f.minutesWithoutIpwvLastHour >= 0));
    field("database_answers", f.databaseAnswers ? "true" : "false");
    field("clock_offset_s", jsonNumber(f.clockOffset, f.clockKnown));
    field("free_bytes", jsonNumber(f.freeBytes, f.freeBytes >= 0));
    j += ",\"lines\":[";
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const Line& l = lines[i];
        j += std::string(i ? "," : "") + "{\"name\":" + jsonText(l.name) +
             ",\"status\":" + jsonText(levelName(l.level)) + ",\"text\":" + jsonText(l.text) +
             ",\"advice\":" + jsonText(l.advice) + "}";
    }
    return j + "]}\n";
}

}  // namespace health
