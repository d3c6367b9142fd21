#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <tuple>

#include "TestSupport.h"
#include "utilities.h"

using namespace testsupport;

namespace {

const char kMinute[] = "2014-03-05 14:07:00";

TEST(Utilities, WeatherAndPositionTables) {
    sql::resetTables();
    StdoutCapture out;
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

    // Any second of the minute matches; a text shorter than a minute is used
    // whole (a bare date matches the day); codes are case-sensitive.
    EXPECT_EQ(atmosphericDataDB("2014-03-05 14:07:59", "P"), 1013.25);
    EXPECT_EQ(atmosphericDataDB("2014-03-05 14:08:00", "P"), kMissingValue);
    EXPECT_EQ(atmosphericDataDB("2014-03-05", "RH"), 61.75);
    EXPECT_EQ(atmosphericDataDB(kMinute, "p"), kMissingValue);

    EXPECT_EQ(gpsDataDB(kMinute), std::vector<double>(4, kMissingValue));
    sql::exec(
        "INSERT INTO gps (latitude, longitude, height, elevation, data) VALUES (1, 2, 3, 4, "
        "'2014-03-05 14:07:42')");
    EXPECT_EQ(gpsDataDB(kMinute), (std::vector<double>{1, 2, 3, 4}));
    EXPECT_EQ(out.text(),
              "ERROR CREATING QUERY\natmosphericData Error queryIPWV.\n\n"
              "\ndatatimeSQL : 2014-03-05 14:07\n\n\n ****** gpsData NOT AVAILABLE "
              "****** \n\n\ndatatimeSQL : 2014-03-05 14:07\n\n");
}

// A stand-in sudo first on PATH records its input and arguments and exits
// with the status in file "status": the machine's clock is never touched.
TEST(Utilities, FilesAndClock) {
    namespace fs = std::filesystem;
    TempDir dir("ulmet-files");
    const fs::path previous = fs::current_path();
    fs::current_path(dir.path());
    char name[16] = "errors";
    arduinoLogFile("a");
    arduinoLogFile("b");
    logErr("disk full", name);
    // The name is left with its suffix.
    EXPECT_EQ(readFile("ARDUINO_LOG.TXT") + readFile("errors.txt") + name,
              "a\nb\ndisk full\nerrors.txt");

    std::ofstream("sudo") << "#!/bin/sh\n(cat; printf '|%s' \"$@\") >>record; exit $(cat status)";
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
    setenv("PATH", oldPath.c_str(), 1);
    fs::current_path(previous);
}

// Run by the test below under a faked clock; skipped in an ordinary run.
TEST(ClockChild, Report) {
    if (std::getenv("ULMET_CLOCK_CHILD") == nullptr) GTEST_SKIP() << "run by MinuteBefore";
    std::printf("\n%s %s\n", printDateTime().c_str(), dateTimeToCheck().c_str());
}

TEST(Utilities, MinuteBeforeAndCountDown) {
    EXPECT_EQ(countDownSeconds(tm{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr}), 120);
    EXPECT_EQ(countDownSeconds(tm{59, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr}), 61);
    if (faketimeLibrary().empty()) GTEST_SKIP() << "libfaketime not installed";
    // The child's clock runs on from the target: seconds compared between the texts.
    for (const auto& [at, now, before] :
         {std::tuple{1420070410L, "2015-01-01 00:00:10", "2014-12-31 23:59:"},
          std::tuple{1456790405L, "2016-03-01 00:00:05", "2016-02-29 23:59:"}}) {
        std::vector<std::string> env = faketimeEnv(at - time(nullptr));
        env.insert(env.end(), {"TZ=UTC", "ULMET_CLOCK_CHILD=1"});
        ChildProcess child({"/proc/self/exe", "--gtest_filter=ClockChild.Report"}, env);
        ASSERT_EQ(child.wait(std::chrono::seconds(60)), 0) << child.output();
        const std::string text = child.output(),
                          line = text.substr(text.find("\n" + std::string(now, 17)) + 1, 39);
        EXPECT_EQ(line, line.substr(0, 20) + before + line.substr(17, 2)) << text;
    }
}

}  // namespace
