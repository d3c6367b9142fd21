// The judgement of the station's figures, without a station: each threshold
// at its value, just below and just above, and the texts and advice an
// operator reads. ulmet-status's end-to-end test covers collecting them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "TestSupport.h"
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

TEST(Assess, EachThresholdAtBelowAndAbove) {
    auto age = [](double Figures::*when, double seconds) {
        return [when, seconds](Figures& f) { f.*when = kNow - seconds; };
    };
    auto set = [](auto Figures::*field, auto v) {
        return [field, v](Figures& f) { f.*field = v; };
    };
    auto also = [](auto a, auto b) { return [=](Figures& f) { a(f), b(f); }; };
    // Appends the line `name` of a healthy station changed by `change`.
    std::string transcript;
    auto add = [&](const std::string& name, const std::function<void(Figures&)>& change) {
        Figures f = healthy();
        change(f);
        const std::string line = lineOf(assess(f), name);
        transcript += (line.empty() ? "no " + name + " line" : line) + "\n";
    };
    // The receiver: heard within 90 s, then 180 s.
    for (double ago : {90, 91, 180, 300, 181}) add("receiver", age(&Figures::lastValidLog, ago));
    add("receiver", set(&Figures::reinitialisations, 2.0));
    add("receiver", set(&Figures::lastValidLog, -1.0));
    add("receiver", set(&Figures::daemonRunning, false));
    add("receiver", set(&Figures::daemonState, false));
    // Rows: two minutes may miss; any row at all makes it a warning.
    for (long n : {58, 57, 1, 0}) add("rows", set(&Figures::minutesWithRowsLastHour, n));
    add("rows", set(&Figures::rowsStoredReceiverWindow, 235L));
    add("rows", also(set(&Figures::rowsStoredReceiverWindow, 235L),
                     set(&Figures::spoolRowsReceivedWindow, 1L)));
    add("rows", set(&Figures::firstRowTime, -1.0));
    add("rows", set(&Figures::minutesJudged, 0L));
    add("rows", [](Figures& f) {
        f.minutesJudged = 29, f.minutesWithRowsLastHour = 21, f.rowsStoredLastHour = 84;
    });
    // The spool: an hour of waiting, then critical; a lost row at once.
    add("spool", set(&Figures::spoolRows, 0L));
    add("spool", also(set(&Figures::spoolRows, 2L), age(&Figures::spoolOldest, 3600)));
    add("spool", also(set(&Figures::spoolRows, 1L), age(&Figures::spoolOldest, 3601)));
    add("spool", set(&Figures::rowsLost, 1.0));
    add("rejected", set(&Figures::rejectedLines, 1L));
    add("checksums", set(&Figures::droppedLogs, 1.0));
    add("checksums", set(&Figures::daemonState, false));
    // The product: 180 s, then 600 s.
    for (double ago : {180, 181, 600, 601}) add("ipwv", age(&Figures::lastIpwvTime, ago));
    add("ipwv", set(&Figures::lastIpwvSigmaKnown, false));
    add("ipwv", set(&Figures::lastIpwvTime, -1.0));
    add("ipwv", also(set(&Figures::lastIpwvTime, -1.0), set(&Figures::minutesJudged, 0L)));
    // Minutes without IPWV: two, then thirty; inputs at hand warn.
    for (long n : {2, 3, 30, 31}) add("ipwv minutes", set(&Figures::minutesWithoutIpwvLastHour, n));
    add("ipwv minutes", [](Figures& f) {
        f.minutesWithoutIpwvLastHour = 1;
        f.recomputable = {"2026-03-01 11:40:00", "2026-03-01 11:43:00"};
    });
    add("ipwv minutes", set(&Figures::minutesJudged, 29L));
    // The database away: no rows or product lines.
    add("database", also(set(&Figures::databaseAnswers, false),
                         set(&Figures::databaseError, std::string("error 2002: gone"))));
    add("rows", set(&Figures::databaseAnswers, false));
    add("ipwv", set(&Figures::databaseAnswers, false));
    // The clock: 2 s, then 10 s, either way.
    for (double offset : {2.0, -2.1, 10.0, -10.1}) add("clock", set(&Figures::clockOffset, offset));
    add("clock", set(&Figures::clockKnown, false));
    // The disk: 10 % or 100 MB free, then 2 % or 10 MB.
    for (auto [free, total] : {std::pair{100e6, 1e9},
                               {99.9e6, 1e9},
                               {0.0999e12, 1e12},
                               {0.02e12, 1e12},
                               {0.0199e12, 1e12},
                               {10e6, 100e6},
                               {9.9e6, 100e6},
                               {-1.0, -1.0}})
        add("disk", also(set(&Figures::freeBytes, free), set(&Figures::totalBytes, total)));
    // The units, where systemd runs.
    add("daemon unit", set(&Figures::daemonUnit, std::string("active")));
    add("daemon unit", set(&Figures::daemonUnit, std::string("failed")));
    add("retrieval timer", set(&Figures::retrievalTimer, std::string("inactive")));
    testsupport::expectGolden("health/golden/assess.txt", transcript);
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
