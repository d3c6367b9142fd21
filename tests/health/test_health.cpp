// The judgement of the station's figures, without a station: each threshold
// at its value, just below and just above, and the texts and advice an
// operator reads. ulmet-status's end-to-end test covers collecting them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "health/StationHealth.h"

using namespace health;
using ::testing::HasSubstr;

namespace {

const double kNow = 1772366430;  // 2026-03-01 12:00:30 UTC

// A healthy station's figures: every line ok.
Figures healthy() {
    Figures f;
    f.now = kNow;
    f.daemonState = f.daemonRunning = true;
    f.lastValidLog = kNow - 20;
    f.clockKnown = true;
    f.clockOffset = 0.4;
    f.rowsReceivedLastHour = 236;
    f.rowsReceivedFirst = 1772362860;  // 11:01
    f.rowsReceivedLast = 1772366400;   // 12:00
    f.rowsStoredReceiverWindow = 236;
    f.freeBytes = 50e9;
    f.totalBytes = 100e9;
    f.databaseAnswers = true;
    f.firstRowTime = kNow - 86400;
    f.judgedFrom = "2026-03-01 10:59:00";
    f.minutesJudged = 60;
    f.rowsStoredLastHour = 240;
    f.minutesWithRowsLastHour = 60;
    f.lastIpwv = 1.2;
    f.lastIpwvSigma = 0.05;
    f.lastIpwvSigmaKnown = true;
    f.lastIpwvTime = kNow - 90;
    f.minutesWithoutIpwvLastHour = 0;
    return f;
}

// "LEVEL name: text -> advice" of the line `name`, "" without one.
std::string lineOf(const std::vector<Line>& lines, const std::string& name) {
    for (const Line& l : lines)
        if (l.name == name)
            return std::string(levelName(l.level)) + " " + name + ": " + l.text +
                   (l.advice.empty() ? "" : " -> " + l.advice);
    return "";
}

struct Case {
    const char* line;
    std::function<void(Figures&)> change;
    const char* expected;  // the start of lineOf(), or "" for no line
};

TEST(Assess, EachThresholdAtBelowAndAbove) {
    auto age = [](double Figures::*when, double seconds) {
        return [when, seconds](Figures& f) { f.*when = kNow - seconds; };
    };
    auto set = [](auto Figures::*field, auto v) {
        return [field, v](Figures& f) { f.*field = v; };
    };
    auto also = [](auto a, auto b) { return [=](Figures& f) { a(f), b(f); }; };
    auto disk = [&](double free, double total) {
        return also(set(&Figures::freeBytes, free), set(&Figures::totalBytes, total));
    };
    const std::vector<Case> cases = {
        // The receiver: heard within 90 s, then 180 s.
        {"receiver", age(&Figures::lastValidLog, 90), "OK receiver: last valid log 90 s ago"},
        {"receiver", age(&Figures::lastValidLog, 91), "WARNING receiver: last valid log 91 s ago"},
        {"receiver", age(&Figures::lastValidLog, 180), "WARNING receiver"},
        {"receiver", age(&Figures::lastValidLog, 300),
         "CRITICAL receiver: last valid log 5 min ago -> check the receiver's power and cable"},
        {"receiver", age(&Figures::lastValidLog, 181), "CRITICAL receiver"},
        {"receiver", set(&Figures::reinitialisations, 2.0),
         "WARNING receiver: last valid log 20 s ago, receiver set up again 2 times"},
        {"receiver", set(&Figures::lastValidLog, -1.0),
         "CRITICAL receiver: no valid log received since the daemon started"},
        {"receiver", set(&Figures::daemonRunning, false),
         "CRITICAL receiver: the acquisition daemon has stopped"},
        {"receiver", set(&Figures::daemonState, false),
         "CRITICAL receiver: the acquisition daemon has left no state file"},
        // Rows: two minutes may miss; any row at all makes it a warning.
        {"rows", set(&Figures::minutesWithRowsLastHour, 58L),
         "OK rows: 240 rows stored in the last hour, 58 of 60 minutes; for the minutes 11:01 to "
         "12:00 the receiver's logs gave 236 rows, 236 are stored"},
        {"rows", set(&Figures::minutesWithRowsLastHour, 57L), "WARNING rows"},
        {"rows", set(&Figures::minutesWithRowsLastHour, 1L), "WARNING rows"},
        {"rows", set(&Figures::minutesWithRowsLastHour, 0L), "CRITICAL rows"},
        {"rows", set(&Figures::rowsStoredReceiverWindow, 235L), "WARNING rows"},
        {"rows",
         also(set(&Figures::rowsStoredReceiverWindow, 235L),
              set(&Figures::spoolRowsReceivedWindow, 1L)),
         "OK rows"},
        {"rows", set(&Figures::firstRowTime, -1.0), "WARNING rows: no rows stored yet"},
        {"rows", set(&Figures::minutesJudged, 0L),
         "OK rows: the first rows are of 2026-02-28 12:00: no whole minute to judge yet"},
        {"rows",
         [](Figures& f) {
             f.minutesJudged = 29;
             f.minutesWithRowsLastHour = 21;
             f.rowsStoredLastHour = 84;
         },
         "WARNING rows: 84 rows stored since the first rows, of 2026-03-01 10:59, 21 of 29 "
         "minutes"},
        // The spool: an hour of waiting, then critical; a lost row at once.
        {"spool", set(&Figures::spoolRows, 0L), "OK spool: 0 rows wait in the spool"},
        {"spool", also(set(&Figures::spoolRows, 2L), age(&Figures::spoolOldest, 3600)),
         "WARNING spool: 2 rows wait in the spool, the oldest of 60 min ago"},
        {"spool", also(set(&Figures::spoolRows, 1L), age(&Figures::spoolOldest, 3601)),
         "CRITICAL spool"},
        {"spool", set(&Figures::rowsLost, 1.0),
         "CRITICAL spool: 0 rows wait in the spool; 1 rows lost"},
        {"rejected", set(&Figures::rejectedLines, 1L),
         "WARNING rejected: 1 lines moved to the reject file corvana-spool.sql.rejected -> read"},
        {"checksums", set(&Figures::droppedLogs, 1.0), "WARNING checksums: 1 logs dropped"},
        {"checksums", set(&Figures::daemonState, false), ""},
        // The product: 180 s, then 600 s.
        {"ipwv", age(&Figures::lastIpwvTime, 180),
         "OK ipwv: last IPWV 1.200 cm ± 0.050 cm, 3 min ago"},
        {"ipwv", age(&Figures::lastIpwvTime, 181), "WARNING ipwv"},
        {"ipwv", age(&Figures::lastIpwvTime, 600), "WARNING ipwv"},
        {"ipwv", age(&Figures::lastIpwvTime, 601), "CRITICAL ipwv"},
        {"ipwv", set(&Figures::lastIpwvSigmaKnown, false),
         "OK ipwv: last IPWV 1.200 cm (uncertainty unknown)"},
        {"ipwv", set(&Figures::lastIpwvTime, -1.0), "CRITICAL ipwv: no IPWV stored yet"},
        {"ipwv", also(set(&Figures::lastIpwvTime, -1.0), set(&Figures::minutesJudged, 0L)),
         "OK ipwv: no IPWV stored yet, and no minute due"},
        // Minutes without IPWV: two, then thirty; inputs at hand warn.
        {"ipwv minutes", set(&Figures::minutesWithoutIpwvLastHour, 2L),
         "OK ipwv minutes: 2 minutes of the last hour without IPWV"},
        {"ipwv minutes", set(&Figures::minutesWithoutIpwvLastHour, 3L),
         "WARNING ipwv minutes: 3 minutes of the last hour without IPWV -> their inputs are "
         "missing"},
        {"ipwv minutes", set(&Figures::minutesWithoutIpwvLastHour, 30L), "WARNING ipwv minutes"},
        {"ipwv minutes", set(&Figures::minutesWithoutIpwvLastHour, 31L), "CRITICAL ipwv minutes"},
        {"ipwv minutes",
         [](Figures& f) {
             f.minutesWithoutIpwvLastHour = 1;
             f.recomputable = {"2026-03-01 11:40:00", "2026-03-01 11:43:00"};
         },
         "WARNING ipwv minutes: 1 minutes of the last hour without IPWV -> 2 of them have their "
         "inputs: ulmet-retrieve --from '2026-03-01 11:40' --to '2026-03-01 11:43'"},
        {"ipwv minutes", set(&Figures::minutesJudged, 29L),
         "OK ipwv minutes: 0 minutes of the last hour without IPWV (29 since the first rows)"},
        // The database away: no rows or product lines.
        {"database",
         also(set(&Figures::databaseAnswers, false),
              set(&Figures::databaseError, std::string("error 2002: gone"))),
         "CRITICAL database: the database does not answer: error 2002: gone -> systemctl"},
        {"rows", set(&Figures::databaseAnswers, false), ""},
        {"ipwv", set(&Figures::databaseAnswers, false), ""},
        // The clock: 2 s, then 10 s, either way.
        {"clock", set(&Figures::clockOffset, 2.0),
         "OK clock: machine clock +2.0 s against the receiver's time"},
        {"clock", set(&Figures::clockOffset, -2.1), "WARNING clock"},
        {"clock", set(&Figures::clockOffset, 10.0), "WARNING clock"},
        {"clock", set(&Figures::clockOffset, -10.1), "CRITICAL clock: machine clock -10.1 s"},
        {"clock", set(&Figures::clockKnown, false), ""},
        // The disk: 10 % or 100 MB free, then 2 % or 10 MB.
        {"disk", disk(100e6, 1e9), "OK disk: 100 MB free (10 %) where the spool lives"},
        {"disk", disk(99.9e6, 1e9), "WARNING disk"},
        {"disk", disk(0.0999e12, 1e12), "WARNING disk"},
        {"disk", disk(0.02e12, 1e12), "WARNING disk"},
        {"disk", disk(0.0199e12, 1e12), "CRITICAL disk"},
        {"disk", disk(10e6, 100e6), "WARNING disk"},
        {"disk", disk(9.9e6, 100e6), "CRITICAL disk"},
        {"disk", disk(-1, -1), ""},
        // The units, where systemd runs.
        {"daemon unit", set(&Figures::daemonUnit, std::string("active")),
         "OK daemon unit: corvana.service is active"},
        {"daemon unit", set(&Figures::daemonUnit, std::string("failed")),
         "CRITICAL daemon unit: corvana.service is failed -> start it"},
        {"retrieval timer", set(&Figures::retrievalTimer, std::string("inactive")),
         "CRITICAL retrieval timer: mistrel.timer is inactive -> start it"},
    };
    for (const Case& c : cases) {
        Figures f = healthy();
        c.change(f);
        const std::string line = lineOf(assess(f), c.line);
        if (*c.expected == '\0')
            EXPECT_EQ(line, "");
        else
            EXPECT_EQ(line.substr(0, std::string(c.expected).size()), c.expected);
    }
}

TEST(Assess, TheStationIsItsWorstLine) {
    Figures f = healthy();
    EXPECT_EQ(worst(assess(f)), Level::Ok);
    f.rejectedLines = 1;
    EXPECT_EQ(worst(assess(f)), Level::Warning);
    EXPECT_THAT(renderText(assess(f)), HasSubstr("\nStation: WARNING\n"));
    f.clockOffset = 11;
    EXPECT_EQ(worst(assess(f)), Level::Critical);
    EXPECT_THAT(renderJson(f, assess(f)), HasSubstr("{\"status\":\"CRITICAL\""));
}

}  // namespace
