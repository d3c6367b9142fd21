#include "Backfill.h"

#include <mysql.h>

#include <iostream>
#include <sstream>

#include "DBConfig.h"
#include "Database.h"
#include "Mistrel.h"
#include "gnssFunctions.h"

namespace {

// The readings of a minute: every date-time of the minute lies between
// "YYYY-MM-DD HH:MM" and "YYYY-MM-DD HH:MM;" (";" follows ":"), which the
// index on the binary-collated text serves.
std::string readingOfMinute(const char* table) {
    return std::string("EXISTS (SELECT 1 FROM ") + table + " w WHERE w.data >= LEFT(t.data, 16) " +
           "AND w.data < CONCAT(LEFT(t.data, 16), ';'))";
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

}  // namespace

bool minutesWithoutIpwv(const std::string& from, const std::string& to,
                        std::vector<std::string>* minutes, std::string* error) {
    minutes->clear();
    if (!isDateTimeText(from) || !isDateTimeText(to) || from.size() != 19 || to.size() != 19) {
        *error = "the period's ends are not date-times YYYY-MM-DD HH:MM:SS";
        return false;
    }
    std::string query = "SELECT DISTINCT t.data FROM troposphericDelay t WHERE t.data BETWEEN '" +
                        from + "' AND '" + to +
                        "' AND SUBSTRING(t.data, 18, 2) = '00' AND NOT EXISTS (SELECT 1 FROM " +
                        "ipwv i WHERE i.data = t.data) AND " + readingOfMinute("pressure") +
                        " AND " + readingOfMinute("temperature") + " AND " +
                        readingOfMinute("humidity") + " ORDER BY t.data;";
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
    std::vector<std::string> minutes;
    std::string error;
    if (!minutesWithoutIpwv(from, to, &minutes, &error)) {
        log << "The minutes without IPWV cannot be listed: " << error << std::endl;
        summary.queryFailed = true;
        return summary;
    }
    summary.missing = minutes.size();
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
    return summary;
}
