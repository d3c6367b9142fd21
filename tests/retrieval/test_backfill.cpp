// The backfill's list of minutes on the shared server: which minutes count
// as having inputs and no IPWV row, at the ends of the period, of the
// elevations and of the day-long parts a long period is read in.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "retrieval/Backfill.h"

using namespace testsupport;

namespace {

using Minutes = std::vector<std::string>;

// A minute ("YYYY-MM-DD HH:MM") with a satellite row at `second` and
// `elevation`, and the weather readings of `weather` ("ptr": pressure,
// temperature, relative humidity) at second 0.
void minute(const std::string& at, double elevation = 60, const std::string& weather = "ptr",
            const char* second = "00", const char* latitude = "41.2", const char* humidity = "60") {
    sql::exec(
        "INSERT INTO troposphericDelay (latitude, longitude, height, latitudeErr, longitudeErr, "
        "heightErr, prn, elevation, td, data) VALUES (" +
        std::string(latitude) + ", 16.5, 30, 1.5, 1.2, 2.5, 7, " + std::to_string(elevation) +
        ", 2.4, '" + at + ":" + second + "')");
    const char* tables[] = {"pressure", "temperature", "humidity"};
    const char* values[] = {"1013", "15.5", humidity};
    for (int i = 0; i < 3; ++i)
        if (weather.find("ptr"[i]) != std::string::npos)
            sql::exec(std::string("INSERT INTO ") + tables[i] + " (" + tables[i] +
                      "_value, data) VALUES (" + values[i] + ", '" + at + ":00')");
}

TEST(Backfill, ListsTheMinutesWithInputsAndNoValueFromEndToEnd) {
    sql::resetTables();
    minute("2014-03-05 09:59");  // before the period
    minute("2014-03-05 10:00");  // its first minute
    minute("2014-03-05 10:01");
    sql::exec("INSERT INTO ipwv (ipwv_value, data) VALUES (1.5, '2014-03-05 10:01:00')");
    minute("2014-03-05 10:02", 30);
    minute("2014-03-05 10:03", 29.99);
    minute("2014-03-05 10:04", 90);
    minute("2014-03-05 10:05", 90.01);
    minute("2014-03-05 10:06", 60, "tr");
    minute("2014-03-05 10:07", 60, "pr");
    minute("2014-03-05 10:08", 60, "pt");
    minute("2014-03-05 10:09", 60, "ptr", "01");  // not a minute's rows
    minute("2014-03-05 10:10");                   // its last minute
    minute("2014-03-05 10:11");                   // after it
    Minutes got;
    std::string error;
    ASSERT_TRUE(minutesWithoutIpwv("2014-03-05 10:00:00", "2014-03-05 10:10:59", &got, &error))
        << error;
    EXPECT_EQ(got, (Minutes{"2014-03-05 10:00:00", "2014-03-05 10:02:00", "2014-03-05 10:04:00",
                            "2014-03-05 10:10:00"}));
    // One second less at either end leaves the end's minute out.
    ASSERT_TRUE(minutesWithoutIpwv("2014-03-05 10:00:01", "2014-03-05 10:09:59", &got, &error));
    EXPECT_EQ(got, (Minutes{"2014-03-05 10:02:00", "2014-03-05 10:04:00"}));
    EXPECT_FALSE(minutesWithoutIpwv("2014-03-05 10:00", "2014-03-05 10:10:59", &got, &error));
    EXPECT_FALSE(error.empty());
}

// A period of more than two days is listed a day at a time: the minutes on
// each side of a day's end are each listed once.
TEST(Backfill, EachMinuteOfALongPeriodOnceAcrossItsDays) {
    sql::resetTables();
    const Minutes all = {"2014-03-05 23:58:00", "2014-03-06 23:57:00", "2014-03-06 23:58:00",
                         "2014-03-07 23:57:00", "2014-03-07 23:58:00", "2014-03-07 23:59:00"};
    // Dry air near the equator: no value is stored, so a minute listed
    // twice would show.
    for (const std::string& m : all) minute(m.substr(0, 16), 60, "ptr", "00", "10", "0");
    std::ostringstream log;
    const BackfillSummary s = backfill("2014-03-05 23:58:00", "2014-03-07 23:58:59", true, log);
    EXPECT_FALSE(s.queryFailed) << log.str();
    EXPECT_EQ(s.missing, 5u) << log.str();
    Minutes listed;
    const std::regex line("^([0-9-]{10} [0-9:]{8}): (stored|already|computed|failed$)");
    std::istringstream lines(log.str());
    std::smatch m;
    for (std::string l; std::getline(lines, l);)
        if (std::regex_search(l, m, line)) listed.push_back(m.str(1));
    EXPECT_EQ(listed, Minutes(all.begin(), all.end() - 1)) << log.str();
}

}  // namespace
