#include "retrieval/Backfill.h"

#include <mysql.h>

#include <algorithm>
#include <ctime>
#include <iostream>
#include <sstream>

#include "DBConfig.h"
#include "Database.h"
#include "Mistrel.h"
#include "gnssFunctions.h"

namespace {

// The minutes (":00") of the readings of one table in [from, to]; readings
// are stamped at any second of their minute.
std::string readingMinutes(const char* table, const std::string& from, const std::string& to) {
    return std::string("(SELECT DISTINCT CONCAT(LEFT(data, 16), ':00') AS minute FROM ") + table +
           " WHERE data BETWEEN '" + from + "' AND '" + to + "')";
}

// std::cout into a text for the length of one retrieval.
class CoutCapture {
  public:
    CoutCapture() : saved_(std::cout.rdbuf(text_.rdbuf())) {}
    ~CoutCapture() { std::cout.rdbuf(saved_); }
    CoutCapture(const CoutCapture&) = delete;
    CoutCapture& operator=(const CoutCapture&) = delete;
    std::string text() const { return text_.str(); }

  private:
    std::ostringstream text_;
    std::streambuf* saved_;
};

std::string dateTimeText(time_t when) {
    struct tm utc = {};
    gmtime_r(&when, &utc);
    char text[32];
    (void)std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &utc);
    return text;
}

void retrieveEach(const std::vector<std::string>& minutes, bool verbose, std::ostream& log,
                  BackfillSummary* s);

}  // namespace

bool minutesWithoutIpwv(const std::string& from, const std::string& to,
                        std::vector<std::string>* minutes, std::string* error) {
    minutes->clear();
    if (!isDateTimeText(from) || !isDateTimeText(to) || from.size() != 19 || to.size() != 19) {
        *error = "the period's ends are not date-times YYYY-MM-DD HH:MM:SS";
        return false;
    }
    // Each table's minutes from its own index range, joined: no lookup per
    // row (the search of a day takes milliseconds on a year of data). Only
    // minutes with a satellite the retrieval may use (30 to 90 degrees).
    std::string query =
        "SELECT t.data FROM (SELECT DISTINCT data FROM troposphericDelay WHERE data BETWEEN '" +
        from + "' AND '" + to +
        "' AND SUBSTRING(data, 18, 2) = '00' AND elevation BETWEEN 30 AND 90) t JOIN " +
        readingMinutes("pressure", from, to) + " p ON p.minute = t.data JOIN " +
        readingMinutes("temperature", from, to) + " r ON r.minute = t.data JOIN " +
        readingMinutes("humidity", from, to) +
        " h ON h.minute = t.data WHERE NOT EXISTS (SELECT 1 FROM ipwv i WHERE i.data = t.data) "
        "ORDER BY t.data;";
    Database db;
    if (db.openConnection(host, database, user, password) != 200) {
        *error = "error " + std::to_string(db.errorNumber()) + ": " + db.errorMessage();
        return false;
    }
    MYSQL_RES* result = db.query(query.c_str());
    if (result == nullptr) {
        *error = "error " + std::to_string(db.errorNumber()) + ": " + db.errorMessage();
        db.disconnect();
        return false;
    }
    for (MYSQL_ROW row; (row = mysql_fetch_row(result)) != nullptr;)
        if (row[0] != nullptr) minutes->push_back(row[0]);
    db.disconnect();
    return true;
}

BackfillSummary backfill(const std::string& from, const std::string& to, bool verbose,
                         std::ostream& log) {
    BackfillSummary summary;
    // A day at a time: the search of a whole year would outlast the
    // connection's read limit, and a day's list is small.
    struct tm start = {}, end = {};
    if (strptime(from.c_str(), "%Y-%m-%d %H:%M:%S", &start) == nullptr ||
        strptime(to.c_str(), "%Y-%m-%d %H:%M:%S", &end) == nullptr) {
        log << "The minutes without IPWV cannot be listed: the period is not one." << std::endl;
        summary.queryFailed = true;
        return summary;
    }
    const time_t last = timegm(&end);
    for (time_t day = timegm(&start); day <= last; day += 86400) {
        time_t dayEnd = std::min<time_t>(day + 86399, last);
        std::vector<std::string> minutes;
        std::string error;
        if (!minutesWithoutIpwv(dateTimeText(day), dateTimeText(dayEnd), &minutes, &error)) {
            log << "The minutes without IPWV cannot be listed: " << error << std::endl;
            summary.queryFailed = true;
            return summary;
        }
        summary.missing += minutes.size();
        retrieveEach(minutes, verbose, log, &summary);
    }
    return summary;
}

namespace {
void retrieveEach(const std::vector<std::string>& minutes, bool verbose, std::ostream& log,
                  BackfillSummary* s) {
    BackfillSummary& summary = *s;
    for (const std::string& minute : minutes) {
        int outcome;
        std::string account;
        {
            CoutCapture capture;
            outcome = retrieveMinute(minute);
            account = capture.text();
        }
        // The retrieval stores nothing for a negative or NaN value and says so
        // without an "IPWV Data correctly stored".
        bool stored = account.find("IPWV Data correctly stored") != std::string::npos;
        const char* what = "stored";
        if (outcome == 1) {
            ++summary.already;
            what = "already stored";
        } else if (outcome == 0 && stored) {
            ++summary.stored;
        } else if (outcome == 0) {
            ++summary.notStored;
            what = "computed, not stored (negative or not a number)";
        } else {
            ++summary.failed;
            what = "failed";
            log << minute << ": the retrieval failed:" << account << std::endl;
        }
        if (verbose) log << minute << ": " << what << std::endl;
    }
}
}  // namespace
