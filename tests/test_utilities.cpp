#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "Mistrel.h"
#include "TestSupport.h"
#include "utilities.h"

using namespace testsupport;

namespace {

const char kLookupError[] = "\natmosphericData Error queryIPWV.\n\n";

class UtilitiesTest : public ::testing::Test {
  protected:
    void SetUp() override { sql::resetTables(); }
};

// Runs `body` with the working directory in a fresh temporary directory.
template <typename Body>
void inTempDir(const TempDir& dir, Body body) {
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof(previous)), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    body();
    ASSERT_EQ(chdir(previous), 0);
}

TEST_F(UtilitiesTest, WeatherLookupsUseTheMinutePrefix) {
    sql::exec(
        "INSERT INTO pressure (pressure_value, data) VALUES (1013.25, '2014-03-05 14:07:05'), "
        "(1000.5, '2014-03-05 14:07:35'), (990, '2014-03-05 14:08:00')");
    sql::exec(
        "INSERT INTO temperature (temperature_value, data) VALUES (-3.5, '2014-03-05 14:07:59')");
    sql::exec("INSERT INTO humidity (humidity_value, data) VALUES (61.75, '2014-03-05 14:07:00')");

    StdoutCapture out;
    double p = atmosphericDataDB("2014-03-05 14:07:59", "P");
    EXPECT_TRUE(p == 1013.25 || p == 1000.5) << p;  // whichever 14:07 row comes first
    EXPECT_EQ(atmosphericDataDB("2014-03-05 14:08:30", "P"), 990.0);
    EXPECT_EQ(atmosphericDataDB("2014-03-05 14:09:00", "P"), kMissingValue);  // no row: silent
    EXPECT_EQ(atmosphericDataDB("2014-03-05 14:07:00", "T"), -3.5);
    EXPECT_EQ(atmosphericDataDB("2014-03-05 14:07:00", "RH"), 61.75);
    // A text shorter than a minute is used whole: a bare date matches the day.
    EXPECT_EQ(atmosphericDataDB("2014-03-05", "T"), -3.5);
    EXPECT_EQ(atmosphericDataDB("2014-03-06", "T"), kMissingValue);
    EXPECT_EQ(out.text(), "");

    // Codes are case-sensitive; an unknown one makes a statement the
    // server rejects.
    for (const char* code : {"p", "X", "", "Rh"}) {
        StdoutCapture bad;
        EXPECT_EQ(atmosphericDataDB("2014-03-05 14:07:00", code), kMissingValue) << code;
        EXPECT_EQ(bad.text(), kLookupError) << code;
    }
}

TEST_F(UtilitiesTest, UnreadableWeatherColumnsAreMissing) {
    sql::exec("INSERT INTO humidity (humidity_value, data) VALUES (NULL, '2014-03-05 14:07:00')");
    EXPECT_EQ(atmosphericDataDB("2014-03-05 14:07:00", "RH"), kMissingValue);

    // A text column holding something that is not a number.
    struct Restore {
        ~Restore() {
            sql::exec("DROP TABLE IF EXISTS pressure");
            sql::resetTables();
        }
    } restore;
    sql::exec("DROP TABLE pressure");
    sql::exec("CREATE TABLE pressure (pressure_value VARCHAR(32), data CHAR(19))");
    for (const char* text : {"abc", "1013.2x", "0x10", "nan", "inf", "1e999", " ", ""}) {
        sql::exec("TRUNCATE TABLE pressure");
        sql::exec(std::string("INSERT INTO pressure VALUES ('") + text +
                  "', '2014-03-05 14:07:00')");
        EXPECT_EQ(atmosphericDataDB("2014-03-05 14:07:00", "P"), kMissingValue) << text;
    }
    sql::exec("TRUNCATE TABLE pressure");
    sql::exec("INSERT INTO pressure VALUES ('-1.5e2', '2014-03-05 14:07:00')");
    EXPECT_EQ(atmosphericDataDB("2014-03-05 14:07:00", "P"), -150.0);
}

TEST_F(UtilitiesTest, PositionLookup) {
    {
        StdoutCapture out;
        std::vector<double> none = gpsDataDB("2014-03-05 14:07:00");
        EXPECT_EQ(none, std::vector<double>(4, kMissingValue));
        EXPECT_EQ(
            out.text(),
            "\ndatatimeSQL : 2014-03-05 14:07\n\n\n ****** gpsData NOT AVAILABLE ****** \n\n");
    }
    sql::exec(
        "INSERT INTO gps (latitude, longitude, height, latitudeErr, longitudeErr, heightErr, "
        "elevation, data) VALUES (45.5, 7.25, 80.5, 1.5, 1.25, 3.0, 30.0, '2014-03-05 14:07:42')");
    {
        StdoutCapture out;
        std::vector<double> found = gpsDataDB("2014-03-05 14:07:00");
        EXPECT_EQ(found, (std::vector<double>{45.5, 7.25, 80.5, 30.0}));
        EXPECT_EQ(out.text(), "\ndatatimeSQL : 2014-03-05 14:07\n\n");
    }
    // A NULL column is missing; the others are read.
    sql::exec("TRUNCATE TABLE gps");
    sql::exec(
        "INSERT INTO gps (latitude, longitude, height, elevation, data) "
        "VALUES (45.5, NULL, 80.5, 30.0, '2014-03-05 14:07:00')");
    StdoutCapture quiet;
    EXPECT_EQ(gpsDataDB("2014-03-05 14:07:00"),
              (std::vector<double>{45.5, kMissingValue, 80.5, 30.0}));
}

// The client library reads MYSQL_UNIX_PORT once per process, so the
// unreachable server is tried in a child process.
void unreachableLookups() {
    setenv("MYSQL_UNIX_PORT", "/tmp/ulmet-nothing-listens-here.sock", 1);
    StdoutCapture out;
    bool ok = atmosphericDataDB("2014-03-05 14:07:00", "P") == kMissingValue &&
              gpsDataDB("2014-03-05 14:07:00") == std::vector<double>(4, kMissingValue);
    std::string text = out.text();
    ok = ok && text == std::string(kLookupError) +
                           "\ndatatimeSQL : 2014-03-05 14:07\n\n\nError gpsData queryIPWV.\n\n";
    std::exit(ok ? 0 : 1);
}

TEST(UtilitiesOffline, LookupsWithoutServerReportMissing) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(unreachableLookups(), ::testing::ExitedWithCode(0), "");
}

TEST(UtilitiesOffline, WeatherInsertStatements) {
    char when[] = "2014-03-05 14:07:00";
    char* first = format_query(0, 1013.25f, when);
    EXPECT_STREQ(first,
                 "INSERT INTO pressure (pressure_value, data) VALUES (1013.25, '2014-03-05 "
                 "14:07:00');");
    // One shared buffer: the next call overwrites the text returned before.
    char* second = format_query(1, 20.1f, when);
    EXPECT_EQ(first, second);
    EXPECT_STREQ(first,
                 "INSERT INTO temperature (temperature_value, data) VALUES (20.10, '2014-03-05 "
                 "14:07:00');");
    EXPECT_STREQ(format_query(2, -0.004f, when),
                 "INSERT INTO humidity (humidity_value, data) VALUES (-0.00, '2014-03-05 "
                 "14:07:00');");
    EXPECT_STREQ(format_query(3, 455.556f, when),
                 "INSERT INTO radiance (radiance_value, data) VALUES (455.56, '2014-03-05 "
                 "14:07:00');");
    EXPECT_STREQ(format_query(4, 0.0f, when),
                 "INSERT INTO raingauge (raingauge_value, data) VALUES (0.00, '2014-03-05 "
                 "14:07:00');");
    for (int bad : {5, -1}) {
        StdoutCapture out;
        EXPECT_STREQ(format_query(bad, 1.0f, when), "ERROR CREATING QUERY!");
        EXPECT_EQ(out.text(), "ERROR CREATING QUERY");
    }
}

TEST_F(UtilitiesTest, WeatherInsertStatementsAreAccepted) {
    char when[] = "2014-03-05 14:07:00";
    for (int n = 0; n < 5; ++n) sql::exec(format_query(n, 12.5f, when));
    EXPECT_EQ(
        sql::scalar("SELECT raingauge_value FROM raingauge WHERE data = '2014-03-05 14:07:00'"),
        "12.5");
    EXPECT_EQ(atmosphericDataDB(when, "RH"), 12.5);
}

TEST(UtilitiesFiles, WeatherLogAppends) {
    TempDir dir("ulmet-arduino");
    {
        std::ofstream before(dir.file("ARDUINO_LOG.TXT"));
        before << "old\n";
    }
    inTempDir(dir, [] {
        std::string a = "a";
        arduinoLogFile(a);
        arduinoLogFile("b");
        EXPECT_EQ(a, "a");
    });
    EXPECT_EQ(readFile(dir.file("ARDUINO_LOG.TXT")), "old\na\nb\n");
}

TEST(UtilitiesFiles, ErrorLog) {
    TempDir dir("ulmet-errlog");
    inTempDir(dir, [] {
        char name[16] = "errors";
        logErr("disk full", name);
        EXPECT_STREQ(name, "errors.txt");
        char again[16] = "errors";
        logErr("still full", again);
    });
    EXPECT_EQ(readFile(dir.file("errors.txt")), "disk full\nstill full\n");

    char unreachable[64] = "/nonexistent-ulmet-dir/errors";
    EXPECT_EXIT(logErr("x", unreachable), ::testing::ExitedWithCode(1),
                "Error! Cannot Open File!: No such file or directory");
}

// A stand-in for sudo, first on PATH: records its standard input and its
// arguments (one a line) and exits with the chosen status. The machine's
// clock is never touched.
class FakeSudo {
  public:
    explicit FakeSudo(int status) : dir_("ulmet-sudo"), record_(dir_.file("record")) {
        std::string script = dir_.file("sudo");
        std::ofstream out(script);
        out << "#!/bin/sh\n"
            << "{ printf 'stdin=%s\\n' \"$(cat)\"; for a in \"$@\"; do printf 'arg=%s\\n' \"$a\"; "
               "done; } >> '"
            << record_ << "'\nexit " << status << "\n";
        out.close();
        chmod(script.c_str(), 0755);
        const char* path = std::getenv("PATH");
        oldPath_ = path != nullptr ? path : "/usr/bin:/bin";
        setenv("PATH", (dir_.path() + ":" + oldPath_).c_str(), 1);
    }
    ~FakeSudo() { setenv("PATH", oldPath_.c_str(), 1); }
    std::string record() const { return readFile(record_); }
    bool ran() const { return access(record_.c_str(), F_OK) == 0; }

  private:
    TempDir dir_;
    std::string record_;
    std::string oldPath_;
};

const char kBestposHeader[] =
    "#BESTPOSA,COM1,0,55.0,FINESTEERING,2000,0.000,00000000,4ca6,2748;"
    "SOL_COMPUTED,SINGLE,45.5,7.25,80.5";

TEST(UtilitiesClock, SetsTheClockFromTheLogHeader) {
    {
        FakeSudo sudo(0);
        StdoutCapture out;
        EXPECT_TRUE(parseGpsLogTime(kBestposHeader));
        EXPECT_EQ(out.text(), "\n setSysTime result = 0\n\n");
        EXPECT_EQ(sudo.record(),
                  "stdin=Tembilux\narg=-S\narg=date\narg=+%Y-%m-%d %T\narg=-s\n"
                  "arg=2018-05-06 00:00:00\n");
    }
    {
        FakeSudo sudo(3);
        StdoutCapture out;
        EXPECT_FALSE(parseGpsLogTime("#SATVISA,COM1,0,55.0,FINESTEERING,1790,432018.500,0;x"));
        // The raw status of system(): exit code 3 in the high byte.
        EXPECT_EQ(out.text(), "\n setSysTime result = 768\n\n");
        EXPECT_NE(sudo.record().find("arg=2014-05-02 00:00:18\n"), std::string::npos);
    }
    // Too few fields, or (empty fields being skipped) a week or seconds
    // field that is not a number: nothing is run.
    for (const char* log :
         {"#BESTPOSA,COM1,0,55.0,FINESTEERING,2000", "#BESTPOSA,COM1,,55.0,FINESTEERING,2000,0.000",
          "#BESTPOSA,COM1,,55.0,FINESTEERING,2000,0.000,00000000", ""}) {
        FakeSudo sudo(0);
        StdoutCapture out;
        EXPECT_FALSE(parseGpsLogTime(log)) << log;
        EXPECT_FALSE(sudo.ran()) << log;
        EXPECT_EQ(out.text(), "") << log;
    }
}

TEST(UtilitiesClock, CountDownLength) {
    struct tm t = {};
    t.tm_sec = 0;
    EXPECT_EQ(countDownSeconds(t), 120);  // 14:07:00 -> 14:09:00
    t.tm_sec = 59;
    EXPECT_EQ(countDownSeconds(t), 61);  // 14:07:59 -> 14:09:00
    t.tm_sec = 60;
    EXPECT_EQ(countDownSeconds(t), 60);  // leap second
}

TEST(UtilitiesClock, PrintTimeSharesItsBuffer) {
    char* first = print_time();
    std::string text = first;
    char* second = print_time();
    EXPECT_EQ(first, second);
    EXPECT_EQ(std::strlen(second), 19u);
    EXPECT_GE(std::string(second), text);
}

// Runs under a faked clock (libfaketime is preloaded at exec, so the test
// program starts itself again) and prints the clock texts as KEY=value
// lines; skipped in an ordinary run.
TEST(ClockChild, Report) {
    if (std::getenv("ULMET_CLOCK_CHILD") == nullptr) GTEST_SKIP() << "run by FakedClock tests";
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    std::printf("NOW=%s\nCHECK=%s\nMINUTE=%s\nCOUNT=%d\n", printDateTime().c_str(),
                dateTimeToCheck().c_str(), currentDateTime().c_str(), countDownSeconds(local));
}

// libfaketime is preloaded ahead of the sanitizer runtime in a sanitized
// build; the runtime must be told to accept that order.
std::string asanOptions() {
    const char* existing = std::getenv("ASAN_OPTIONS");
    std::string options = existing != nullptr ? existing : "";
    return "ASAN_OPTIONS=" + options + (options.empty() ? "" : ":") + "verify_asan_link_order=0";
}

std::map<std::string, std::string> clockTextsAt(const char* target) {
    struct tm want = {};
    if (strptime(target, "%Y-%m-%d %H:%M:%S", &want) == nullptr) return {};
    long offset = static_cast<long>(timegm(&want) - time(nullptr));
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0) return {};
    self[n] = '\0';
    std::vector<std::string> env = faketimeEnv(offset);
    env.push_back("TZ=UTC");
    env.push_back(asanOptions());
    env.push_back("ULMET_CLOCK_CHILD=1");
    ChildProcess child({self, "--gtest_filter=ClockChild.Report"}, env);
    std::map<std::string, std::string> texts;
    if (child.wait(std::chrono::seconds(60)) != 0) return texts;
    std::istringstream lines(child.output());
    std::string line;
    while (std::getline(lines, line)) {
        std::string::size_type eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = line.substr(0, eq);
        if (key == "NOW" || key == "CHECK" || key == "MINUTE" || key == "COUNT")
            texts[key] = line.substr(eq + 1);
    }
    return texts;
}

TEST(FakedClock, MinuteBeforeCrossesDayAndYear) {
    if (faketimeLibrary().empty()) GTEST_SKIP() << "libfaketime not installed";
    struct Case {
        const char* target;
        const char* nowPrefix;
        const char* checkPrefix;
        const char* minute;
    };
    // The child's clock starts at the target and runs on: only the minute
    // (the first 17 characters) is fixed; the seconds are compared between texts.
    for (const Case& c : {Case{"2014-03-05 10:00:30",
                               "2014-03-05 10:00:", "2014-03-05 09:59:", "2014-03-05 10:00:00"},
                          Case{"2015-01-01 00:00:10",
                               "2015-01-01 00:00:", "2014-12-31 23:59:", "2015-01-01 00:00:00"},
                          Case{"2016-03-01 00:00:05",
                               "2016-03-01 00:00:", "2016-02-29 23:59:", "2016-03-01 00:00:00"}}) {
        std::map<std::string, std::string> t = clockTextsAt(c.target);
        ASSERT_EQ(t.size(), 4u) << c.target;
        EXPECT_EQ(t["NOW"].substr(0, 17), c.nowPrefix);
        EXPECT_EQ(t["CHECK"].substr(0, 17), c.checkPrefix);
        EXPECT_EQ(t["CHECK"].substr(17), t["NOW"].substr(17));
        EXPECT_EQ(t["MINUTE"], c.minute);
        EXPECT_EQ(std::stoi(t["COUNT"]), 120 - std::stoi(t["NOW"].substr(17)));
    }
}

}  // namespace
