#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "TestSupport.h"
#include "utilities.h"

using namespace testsupport;

namespace {

const char kMinute[] = "2014-03-05 14:07:00";

TEST(Utilities, WeatherAndPositionTables) {
    sql::resetTables();
    StdoutCapture quiet;
    // The five weather INSERTs share one buffer; executing them stores the readings.
    const std::string tables[] = {"pressure", "temperature", "humidity", "radiance", "raingauge"};
    const char* texts[] = {"1013.25", "20.10", "61.75", "455.56", "12.50"};
    const float values[] = {1013.25f, 20.1f, 61.75f, 455.556f, 12.5f};
    const char* first = format_query(0, 0, kMinute);
    for (int n = 0; n < 5; ++n) {
        EXPECT_EQ(format_query(n, values[n], kMinute), first);
        EXPECT_EQ(first, "INSERT INTO " + tables[n] + " (" + tables[n] + "_value, data) VALUES (" +
                             texts[n] + ", '" + kMinute + "');");
        sql::exec(first);
    }
    EXPECT_STREQ(format_query(5, 1.0f, kMinute), "ERROR CREATING QUERY!");

    // Each code reads its own table; any second of the minute matches, and
    // the minute alone; codes are case-sensitive.
    EXPECT_EQ((std::vector<double>{atmosphericDataDB("2014-03-05 14:07:59", "P"),
                                   atmosphericDataDB(kMinute, "T"),
                                   atmosphericDataDB("2014-03-05 14:07", "RH")}),
              (std::vector<double>{1013.25, 20.1, 61.75}));
    EXPECT_EQ(atmosphericDataDB("2014-03-05 14:08:00", "P"), kMissingValue);
    EXPECT_EQ(atmosphericDataDB(kMinute, "p"), kMissingValue);

    EXPECT_EQ(gpsDataDB(kMinute), std::vector<double>(4, kMissingValue));
    sql::exec(
        "INSERT INTO gps (latitude, longitude, height, elevation, data) VALUES (1, 2, 3, 4, "
        "'2014-03-05 14:07:42')");
    EXPECT_EQ(gpsDataDB(kMinute), (std::vector<double>{1, 2, 3, 4}));
}

// Only a date-time reaches a statement: quotes, backslashes, wildcards,
// empty and over-long texts, bare dates and impossible dates are refused
// with the helpers' missing or failure result, while rows of other
// minutes stand ready to be matched by an injected condition.
TEST(Utilities, HelpersTakeOnlyDateTimeTexts) {
    sql::resetTables();
    for (const char* table : {"pressure", "temperature", "humidity"})
        sql::exec(std::string("INSERT INTO ") + table + " (" + table +
                  "_value, data) VALUES (1, '2014-03-05 14:07:00')");
    sql::exec(
        "INSERT INTO gps (latitude, longitude, height, elevation, data) VALUES (1, 2, 3, 4, "
        "'2014-03-05 14:07:00')");
    std::vector<std::string> bad = {std::string(600, '2'),
                                    "2014-03-05 14:07:00" + std::string(600, ' ')};
    for (const char* text : {"x' OR 1 OR '", "2014-03-05 14:07' OR '1'='1", "2014-03-05 14:0%", "%",
                             "2014-03-05 14:07:0\\", "2014\\-03-05 14:07", "", "2014-03-05",
                             "2014-02-30 14:07:00", "2014-09-31 14:07:00", "2014-13-05 14:07:00",
                             "2014-03-05 24:07:00", "2014-03-05T14:07:00"})
        bad.push_back(text);
    StdoutCapture out;
    for (const std::string& text : bad) {
        SCOPED_TRACE(text.substr(0, 40));
        EXPECT_FALSE(isDateTimeText(text));
        for (const char* code : {"P", "T", "RH"})
            EXPECT_EQ(atmosphericDataDB(text, code), kMissingValue);
        EXPECT_EQ(gpsDataDB(text), std::vector<double>(4, kMissingValue));
        EXPECT_STREQ(format_query(0, 1.0f, text.c_str()), kQueryError);
        EXPECT_STREQ(format_GpsQuery(text.c_str(), 1, 2, 3, 4, 5, 6, 7), kQueryError);
        EXPECT_STREQ(format_troposphericDelayQuery(text.c_str(), 1, 2, 3, 4, 5, 6, 7, 8, 9),
                     kQueryError);
        insertIpwvDB(1.0, text);
    }
    EXPECT_EQ(sql::scalar("SELECT COUNT(*) FROM ipwv"), "0");
    EXPECT_THAT(out.text(), Not(HasSubstr("Error"))) << "a refused text reached the server";
    // The real forms still pass, leap days included.
    for (const char* good :
         {"2014-03-05 14:07", "2014-03-05 14:07:59", "2016-02-29 00:00:00", "2000-02-29 23:59"})
        EXPECT_TRUE(isDateTimeText(good)) << good;
    // A column's text is a number only when all of it is one, and finite.
    for (const char* text : {"", "1e999", "-1e999", "nan", "inf", "1e", ".", "20 C", "0x10"})
        EXPECT_EQ(columnValue(text), kMissingValue) << text;
    for (const auto& [text, value] :
         {std::pair{"-3.25", -3.25}, {"+7", 7.0}, {".5", 0.5}, {"1e3", 1000.0}, {"2.5E-1", 0.25}})
        EXPECT_EQ(columnValue(text), value) << text;
}

// A stand-in sudo first on PATH records its input and arguments and exits
// with the status in file "status": the machine's clock is never touched.
// The password reaches it on its standard input only.
TEST(Utilities, ClockFromAPositionLog) {
    namespace fs = std::filesystem;
    TempDir dir("ulmet-files");
    const fs::path previous = fs::current_path();
    fs::current_path(dir.path());
    // It also notes "|leak" when any command line on the machine holds the
    // password while it runs (ps shows those to every user).
    std::ofstream("sudo")
        << "#!/bin/sh\n(cat; printf '|%s' \"$@\") >>record\n"
           "grep -qs 'Tembilu[x]' /proc/[0-9]*/cmdline && printf '|leak' >>record\n"
           "exit $(cat status)";
    fs::permissions("sudo", fs::perms::owner_all);
    const std::string oldPath = std::getenv("PATH");
    setenv("PATH", (dir.path() + ":" + oldPath).c_str(), 1);
    auto call = [&](const char* log, int status) {
        std::ofstream("status") << status;
        fs::remove("record");
        StdoutCapture quiet;
        const bool ok = parseGpsLogTime(log);
        return std::to_string(ok) + readFile("record");
    };
    const char* log = "#BESTPOSA,PORT1,0,55.0,FINECLOCK,2000,0.000,00000000,4ca6,2748;x";
    const std::string record = "Tembilux\n|-S|date|+%Y-%m-%d %T|-s|2018-05-06 00:00:00";
    EXPECT_EQ(call(log, 0), "1" + record);
    EXPECT_EQ(call(log, 3), "0" + record);
    EXPECT_EQ(call("#BESTPOSA,PORT1,0,55.0,FINECLOCK,2000", 0), "0");
    EXPECT_EQ(call("#BESTPOSA,PORT1,0,55.0,FINECLOCK,2000x,0.000,00000000,4ca6,2748;x", 0), "0");
    setenv("PATH", oldPath.c_str(), 1);
    fs::current_path(previous);
}

TEST(Utilities, CountDownEndsAtTheSecondMinute) {
    EXPECT_EQ(countDownSeconds(tm{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr}), 120);
    EXPECT_EQ(countDownSeconds(tm{59, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr}), 61);
}

}  // namespace
