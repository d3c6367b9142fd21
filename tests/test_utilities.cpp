#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "Mistrel.h"
#include "TestSupport.h"
#include "utilities.h"

using namespace testsupport;

namespace {

const char kMinute[] = "2014-03-05 14:07:00";

class UtilitiesTest : public ::testing::Test {
  protected:
    void SetUp() override { sql::resetTables(); }
};

TEST_F(UtilitiesTest, WeatherLookupsUseTheMinutePrefix) {
    sql::exec(
        "INSERT INTO pressure (pressure_value, data) VALUES (1013.25, '2014-03-05 14:07:05'), "
        "(1000.5, '2014-03-05 14:07:35'), (990, '2014-03-05 14:08:00')");
    sql::exec(
        "INSERT INTO temperature (temperature_value, data) VALUES (-3.5, '2014-03-05 14:07:59')");
    sql::exec("INSERT INTO humidity (humidity_value, data) VALUES (61.75, '2014-03-05 14:07:00')");
    sql::exec("INSERT INTO humidity (humidity_value, data) VALUES (NULL, '2014-03-05 14:09:00')");

    StdoutCapture out;
    const double p = atmosphericDataDB("2014-03-05 14:07:59", "P");
    EXPECT_TRUE(p == 1013.25 || p == 1000.5) << p;  // whichever 14:07 row comes first
    EXPECT_EQ(atmosphericDataDB("2014-03-05 14:08:30", "P"), 990.0);
    EXPECT_EQ(atmosphericDataDB("2014-03-05 14:09:00", "P"), kMissingValue);  // no row: silent
    EXPECT_EQ(atmosphericDataDB(kMinute, "T"), -3.5);
    EXPECT_EQ(atmosphericDataDB(kMinute, "RH"), 61.75);
    EXPECT_EQ(atmosphericDataDB("2014-03-05 14:09:00", "RH"), kMissingValue);  // NULL
    // A text shorter than a minute is used whole: a bare date matches the day.
    EXPECT_EQ(atmosphericDataDB("2014-03-05", "T"), -3.5);
    EXPECT_EQ(atmosphericDataDB("2014-03-06", "T"), kMissingValue);
    EXPECT_EQ(out.text(), "");

    // Codes are case-sensitive; an unknown one makes a statement the
    // server rejects.
    for (const char* code : {"p", "X", "", "Rh"}) {
        StdoutCapture bad;
        EXPECT_EQ(atmosphericDataDB(kMinute, code), kMissingValue) << code;
        EXPECT_EQ(bad.text(), "\natmosphericData Error queryIPWV.\n\n") << code;
    }
}

TEST_F(UtilitiesTest, TextThatIsNotANumberIsMissing) {
    struct Restore {
        ~Restore() {
            sql::exec("DROP TABLE IF EXISTS pressure");
            sql::resetTables();
        }
    } restore;
    sql::exec("DROP TABLE pressure");
    sql::exec("CREATE TABLE pressure (pressure_value VARCHAR(32), data CHAR(19))");
    for (const char* text : {"abc", "1013.2x", "0x10", "nan", "inf", "1e999", " ", "", "-1.5e2"}) {
        sql::exec("TRUNCATE TABLE pressure");
        sql::exec(std::string("INSERT INTO pressure VALUES ('") + text + "', '" + kMinute + "')");
        EXPECT_EQ(atmosphericDataDB(kMinute, "P"), text[0] == '-' ? -150.0 : kMissingValue) << text;
    }
}

TEST_F(UtilitiesTest, PositionLookup) {
    const std::string header = "\ndatatimeSQL : 2014-03-05 14:07\n\n";
    {
        StdoutCapture out;
        EXPECT_EQ(gpsDataDB(kMinute), std::vector<double>(4, kMissingValue));
        EXPECT_EQ(out.text(), header + "\n ****** gpsData NOT AVAILABLE ****** \n\n");
    }
    sql::exec(
        "INSERT INTO gps (latitude, longitude, height, latitudeErr, longitudeErr, heightErr, "
        "elevation, data) VALUES (45.5, 7.25, 80.5, 1.5, 1.25, 3.0, 30.0, '2014-03-05 14:07:42'), "
        "(45.5, NULL, 80.5, 1.5, 1.25, 3.0, 30.0, '2014-03-05 14:08:00')");
    StdoutCapture out;
    EXPECT_EQ(gpsDataDB(kMinute), (std::vector<double>{45.5, 7.25, 80.5, 30.0}));
    // A NULL column is missing; the others are read.
    EXPECT_EQ(gpsDataDB("2014-03-05 14:08:00"),
              (std::vector<double>{45.5, kMissingValue, 80.5, 30.0}));
    EXPECT_EQ(out.text(), header + "\ndatatimeSQL : 2014-03-05 14:08\n\n");
}

TEST_F(UtilitiesTest, WeatherInsertStatements) {
    const char* tables[] = {"pressure", "temperature", "humidity", "radiance", "raingauge"};
    const float values[] = {1013.25f, 20.1f, -0.004f, 455.556f, 12.5f};
    const char* texts[] = {"1013.25", "20.10", "-0.00", "455.56", "12.50"};
    char* first = format_query(0, 1.0f, kMinute);
    for (int n = 0; n < 5; ++n) {
        const std::string t = tables[n];
        EXPECT_EQ(format_query(n, values[n], kMinute), first);  // one shared buffer
        EXPECT_EQ(std::string(first), "INSERT INTO " + t + " (" + t + "_value, data) VALUES (" +
                                          texts[n] + ", '2014-03-05 14:07:00');");
        sql::exec(first);
    }
    EXPECT_EQ(sql::scalar("SELECT raingauge_value FROM raingauge"), "12.5");
    for (int bad : {5, -1}) {
        StdoutCapture out;
        EXPECT_STREQ(format_query(bad, 1.0f, kMinute), "ERROR CREATING QUERY!");
        EXPECT_EQ(out.text(), "ERROR CREATING QUERY");
    }
}

TEST(UtilitiesFiles, WeatherAndErrorLogsAppend) {
    TempDir dir("ulmet-logs");
    std::ofstream(dir.file("ARDUINO_LOG.TXT")) << "old\n";
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof(previous)), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    arduinoLogFile("a");
    arduinoLogFile("b");
    char name[16] = "errors";
    logErr("disk full", name);
    EXPECT_STREQ(name, "errors.txt");
    char again[16] = "errors";
    logErr("still full", again);
    ASSERT_EQ(chdir(previous), 0);
    EXPECT_EQ(readFile(dir.file("ARDUINO_LOG.TXT")), "old\na\nb\n");
    EXPECT_EQ(readFile(dir.file("errors.txt")), "disk full\nstill full\n");

    char unreachable[64] = "/nonexistent-ulmet-dir/errors";
    EXPECT_EXIT(logErr("x", unreachable), ::testing::ExitedWithCode(1),
                "Error! Cannot Open File!: No such file or directory");
}

// A stand-in for sudo, first on PATH, records its standard input and
// arguments and exits with the status in file "status": the machine's
// clock is never touched.
TEST(UtilitiesClock, SetsTheClockFromTheLogHeader) {
    TempDir dir("ulmet-sudo");
    std::ofstream(dir.file("sudo"))
        << "#!/bin/sh\nd=$(dirname \"$0\")\n{ printf 'stdin=%s\\n' \"$(cat)\"; for a in \"$@\"; "
           "do printf 'arg=%s\\n' \"$a\"; done; } >> \"$d/record\"\nexit $(cat \"$d/status\")\n";
    chmod(dir.file("sudo").c_str(), 0755);
    const std::string oldPath = std::getenv("PATH");
    setenv("PATH", (dir.path() + ":" + oldPath).c_str(), 1);
    // Result, printed text and the stand-in's record of one call.
    auto call = [&](const char* log, int status) {
        std::ofstream(dir.file("status")) << status;
        unlink(dir.file("record").c_str());
        StdoutCapture out;
        const bool ok = parseGpsLogTime(log);
        return (ok ? "true" : "false") + out.text() + readFile(dir.file("record"));
    };
    const std::string sudo = "stdin=Tembilux\narg=-S\narg=date\narg=+%Y-%m-%d %T\narg=-s\n";
    EXPECT_EQ(call("#BESTPOSA,PORT1,0,55.0,FINECLOCK,2000,0.000,00000000,4ca6,2748;"
                   "SOLVED,SINGLE,45.5,7.25,80.5",
                   0),
              "true\n setSysTime result = 0\n\n" + sudo + "arg=2018-05-06 00:00:00\n");
    // The raw status of system(): exit code 3 in the high byte.
    EXPECT_EQ(call("#SATVISA,PORT1,0,55.0,FINECLOCK,1790,432018.500,0;x", 3),
              "false\n setSysTime result = 768\n\n" + sudo + "arg=2014-05-02 00:00:18\n");
    // Too few fields, or (empty fields being skipped) a week or seconds
    // field that is not a number: nothing is run.
    for (const char* log :
         {"#BESTPOSA,PORT1,0,55.0,FINECLOCK,2000", "#BESTPOSA,PORT1,,55.0,FINECLOCK,2000,0.000",
          "#BESTPOSA,PORT1,,55.0,FINECLOCK,2000,0.000,00000000", ""})
        EXPECT_EQ(call(log, 0), "false") << log;
    setenv("PATH", oldPath.c_str(), 1);
}

TEST(UtilitiesClock, CountDownLength) {
    struct tm t = {};
    for (int sec : {0, 59, 60}) {  // 60: a leap second
        t.tm_sec = sec;
        EXPECT_EQ(countDownSeconds(t), sec == 60 ? 60 : 120 - sec) << sec;
    }
}

// Run by FakedClock under a faked clock (libfaketime is preloaded at exec,
// so the test program starts itself again); skipped in an ordinary run.
TEST(ClockChild, Report) {
    if (std::getenv("ULMET_CLOCK_CHILD") == nullptr) GTEST_SKIP() << "run by FakedClock tests";
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    std::printf("\nNOW=%s\nCHECK=%s\nMINUTE=%s\nCOUNT=%d\n", printDateTime().c_str(),
                dateTimeToCheck().c_str(), currentDateTime().c_str(), countDownSeconds(local));
}

TEST(FakedClock, MinuteBeforeCrossesDayAndYear) {
    if (faketimeLibrary().empty()) GTEST_SKIP() << "libfaketime not installed";
    // The child's clock starts at the target and runs on: only the minute
    // (the first 17 characters) is fixed; the seconds are compared between texts.
    for (const auto& c : {std::vector<std::string>{"2015-01-01 00:00:10", "2014-12-31 23:59:"},
                          std::vector<std::string>{"2016-03-01 00:00:05", "2016-02-29 23:59:"}}) {
        SCOPED_TRACE(c[0]);
        struct tm want = {};
        ASSERT_NE(strptime(c[0].c_str(), "%Y-%m-%d %H:%M:%S", &want), nullptr);
        std::vector<std::string> env = faketimeEnv(timegm(&want) - time(nullptr));
        env.insert(env.end(), {"TZ=UTC", "ULMET_CLOCK_CHILD=1"});
        ChildProcess child({"/proc/self/exe", "--gtest_filter=ClockChild.Report"}, env);
        ASSERT_EQ(child.wait(std::chrono::seconds(60)), 0) << child.output();
        const std::string text = child.output();
        auto value = [&](const std::string& key) {
            const auto at = text.find("\n" + key + "=") + key.size() + 2;
            return text.substr(at, text.find('\n', at) - at);
        };
        const std::string now = value("NOW"), check = value("CHECK");
        ASSERT_EQ(now.size(), 19u) << text;
        EXPECT_EQ(now.substr(0, 17), c[0].substr(0, 17));
        EXPECT_EQ(check, c[1] + now.substr(17));
        EXPECT_EQ(value("MINUTE"), c[0].substr(0, 17) + "00");
        EXPECT_EQ(value("COUNT"), std::to_string(120 - std::stoi(now.substr(17))));
    }
}

}  // namespace
