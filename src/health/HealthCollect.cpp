#include "health/HealthCollect.h"

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

#include "DBConfig.h"
#include "Database.h"
#include "retrieval/Backfill.h"

extern char** environ;

namespace health {

namespace {

double dateTimeValue(const std::string& text) {
    struct tm utc = {};
    const char* end = strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &utc);
    if (end == nullptr || *end != '\0') return -1;
    return static_cast<double>(timegm(&utc));
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

}  // namespace health
