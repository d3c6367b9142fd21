// The real Mistrel program under a faked clock (2014-03-05 14:07:42 UTC)
// against a private MariaDB server of this test program.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "IPWV_Models.h"
#include "TestSupport.h"

using namespace testsupport;

namespace {

PrivateServer* server = nullptr;

class ServerEnvironment : public ::testing::Environment {
  public:
    void SetUp() override { server = new PrivateServer; }
    void TearDown() override {
        delete server;
        server = nullptr;
    }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new ServerEnvironment);

const char kMinute[] = "2014-03-05 14:07:00";
const char kHeader[] =
    "\n------ ------ ------ ------ ------ ------\n\nIPWV Computing\n\nDatetime = [2014-03-05 "
    "14:07:00]\n";
const char kNoGps[] = "2014-03-05 14:07:00: ****** No gps Data ****** \n\n";
const char kMissingGps[] = "\nIPWV cannot be evaluated ==> Missing GPS Data\n\n";
const char kMissingWeather[] = "\nIPWV cannot be evaluated ==> Missing Atmospheric Data\n\n";
const char kStored[] =
    "Successful query. IPWV Data correctly stored.\n\n====== ====== ====== ====== ====== ====== "
    "\n\n";

// libfaketime is preloaded ahead of the sanitizer runtime in a sanitized
// build; the runtime must be told to accept that order.
std::string asanOptions() {
    const char* existing = std::getenv("ASAN_OPTIONS");
    std::string options = existing != nullptr ? existing : "";
    return "ASAN_OPTIONS=" + options + (options.empty() ? "" : ":") + "verify_asan_link_order=0";
}

struct RunResult {
    int status;
    std::string output;
};

class MistrelRun : public ::testing::Test {
  protected:
    void SetUp() override {
        if (faketimeLibrary().empty()) GTEST_SKIP() << "libfaketime not installed";
        sql::resetTables(server->socket());
    }

    void exec(const std::string& statement) { sql::exec(statement, server->socket()); }
    std::vector<sql::Row> rows(const std::string& query) {
        return sql::rows(query, server->socket());
    }

    // One run of the program with its clock reading 2014-03-05 14:07:42
    // UTC (the clock runs on from there; the test has 18 s of slack).
    RunResult run(const std::string& socket = "", const std::vector<std::string>& args = {}) {
        struct tm target = {};
        target.tm_year = 2014 - 1900;
        target.tm_mon = 2;
        target.tm_mday = 5;
        target.tm_hour = 14;
        target.tm_min = 7;
        target.tm_sec = 42;
        long offset = static_cast<long>(timegm(&target) - time(nullptr));
        std::vector<std::string> env = faketimeEnv(offset);
        env.push_back("TZ=UTC");
        env.push_back(asanOptions());
        env.push_back("MYSQL_UNIX_PORT=" + (socket.empty() ? server->socket() : socket));
        std::vector<std::string> argv = {binDir() + "/Mistrel"};
        argv.insert(argv.end(), args.begin(), args.end());
        ChildProcess child(argv, env);
        int status = child.wait(std::chrono::seconds(60));
        return {status, child.output()};
    }

    void weather(const char* table, const std::string& value, const std::string& at) {
        exec(std::string("INSERT INTO ") + table + " (" + table + "_value, data) VALUES (" + value +
             ", '" + at + "')");
    }
    void allWeather(double p, double t, double rh, const std::string& at) {
        weather("pressure", std::to_string(p), at);
        weather("temperature", std::to_string(t), at);
        weather("humidity", std::to_string(rh), at);
    }
    void position(const std::string& lat, const std::string& height, const std::string& elev,
                  int prn, const std::string& at) {
        exec(
            "INSERT INTO troposphericDelay (latitude, longitude, height, latitudeErr, "
            "longitudeErr, heightErr, prn, elevation, td, data) VALUES (" +
            lat + ", 7.25, " + height + ", 1.5, 1.25, 3.0, " + std::to_string(prn) + ", " + elev +
            ", 2.25, '" + at + "')");
    }
    size_t storedRows() { return rows("SELECT ipwv_value FROM ipwv").size(); }
};

std::string g(double value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

std::string sixDecimals(double value) {
    char text[64];
    std::snprintf(text, sizeof(text), "%f", value);
    return text;
}

std::string inputs(const std::string& p, const std::string& t, const std::string& rh,
                   const std::string& h, const std::string& lat, const std::string& elev) {
    return "\nPressure = " + p + " hPa\nTemperature = " + t + " °K\nRH = " + rh +
           " %\nHeight = " + h + " m\nLatitude = " + lat + " °\nElevation = " + elev + " °\n";
}

TEST_F(MistrelRun, RetrievesAndStoresTheCurrentMinute) {
    // Weather rows anywhere in 14:07 qualify; the neighbouring minutes do not.
    weather("pressure", "1013", "2014-03-05 14:07:05");
    weather("temperature", "20.0", "2014-03-05 14:07:35");
    weather("humidity", "60", "2014-03-05 14:07:59");
    allWeather(900, -10, 10, "2014-03-05 14:06:59");
    allWeather(901, -11, 11, "2014-03-05 14:08:00");
    // Position rows must be stamped at second 00 exactly. Three satellites
    // in the minute: one of them is used.
    position("40", "100", "30", 5, kMinute);
    position("40", "100", "45", 12, kMinute);
    position("40", "100", "60", 20, kMinute);
    position("41", "200", "50", 7, "2014-03-05 14:07:42");
    position("42", "300", "55", 8, "2014-03-05 14:08:00");

    RunResult r = run("", {"ignored", "--help"});
    ASSERT_EQ(r.status, 0) << r.output;

    std::string::size_type at = r.output.find("Elevation = ");
    ASSERT_NE(at, std::string::npos) << r.output;
    double elevation = std::strtod(r.output.c_str() + at + 12, nullptr);
    EXPECT_TRUE(elevation == 30 || elevation == 45 || elevation == 60) << elevation;

    // 20.0 degrees Celsius reaches the model as 293.15 K.
    double ipwv = niellRT(kMinute, 100, 40, elevation, 1013, 293.15, 60);
    ASSERT_GT(ipwv, 0);
    EXPECT_EQ(r.output, kHeader + inputs("1013", "293.15", "60", "100", "40", g(elevation)) +
                            "\nIPWV = " + g(ipwv) + " cm\n" + kStored);

    std::vector<sql::Row> stored = rows("SELECT ipwv_value, data FROM ipwv");
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0][1], kMinute);
    EXPECT_EQ(std::strtod(stored[0][0].c_str(), nullptr),
              std::strtod(sixDecimals(ipwv).c_str(), nullptr));
}

TEST_F(MistrelRun, MissingDataEndsTheRunWithoutStoring) {
    // Weather present, position only at seconds other than 00.
    allWeather(1013, 20, 60, kMinute);
    position("40", "100", "30", 5, "2014-03-05 14:07:42");
    position("40", "100", "30", 5, "2014-03-05 14:08:00");
    RunResult r = run();
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.output, std::string(kHeader) + kNoGps + kMissingGps);

    // Position present, no pressure in the minute.
    sql::resetTables(server->socket());
    position("40", "100", "30", 5, kMinute);
    weather("pressure", "1013", "2014-03-05 14:08:00");
    weather("temperature", "20", kMinute);
    weather("humidity", "60", kMinute);
    r = run();
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.output, std::string(kHeader) + kMissingWeather);

    // Both missing: only the position is reported.
    sql::resetTables(server->socket());
    r = run();
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.output, std::string(kHeader) + kNoGps + kMissingGps);

    // A NULL column of the position row, or a NULL reading, is missing.
    sql::resetTables(server->socket());
    allWeather(1013, 20, 60, kMinute);
    position("40", "NULL", "30", 5, kMinute);
    r = run();
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.output, std::string(kHeader) + kMissingGps);

    sql::resetTables(server->socket());
    weather("pressure", "1013", kMinute);
    weather("temperature", "20", kMinute);
    weather("humidity", "NULL", kMinute);
    position("40", "100", "30", 5, kMinute);
    r = run();
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.output, std::string(kHeader) + kMissingWeather);
    EXPECT_EQ(storedRows(), 0u);
}

TEST_F(MistrelRun, TextThatIsNotANumberIsMissing) {
    // Columns turned into text so that they can hold something else than a
    // number; the schema is restored afterwards.
    struct Restore {
        std::string socket;
        ~Restore() {
            sql::exec("DROP TABLE IF EXISTS troposphericDelay", socket);
            sql::exec("DROP TABLE IF EXISTS temperature", socket);
            sql::resetTables(socket);
        }
    } restore{server->socket()};
    exec("ALTER TABLE troposphericDelay MODIFY elevation VARCHAR(32)");
    exec("ALTER TABLE temperature MODIFY temperature_value VARCHAR(32)");

    allWeather(1013, 20, 60, kMinute);
    position("40", "100", "'n/a'", 5, kMinute);
    RunResult r = run();
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.output, std::string(kHeader) + kMissingGps);

    exec("TRUNCATE TABLE troposphericDelay");
    exec("TRUNCATE TABLE temperature");
    position("40", "100", "'30'", 5, kMinute);
    weather("temperature", "'20 C'", kMinute);
    r = run();
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.output, std::string(kHeader) + kMissingWeather);
    EXPECT_EQ(storedRows(), 0u);
}

TEST_F(MistrelRun, ZeroIsStoredNegativeIsNot) {
    // Dry air (RH 0) at the zenith, latitude 45 degrees, height 0: the
    // slant delay equals the hydrostatic delay exactly, IPWV is 0.
    ASSERT_EQ(niellRT(kMinute, 0, 45, 90, 1013, 293.15, 0), 0.0);
    allWeather(1013, 20, 0, kMinute);
    position("45", "0", "90", 5, kMinute);
    RunResult r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, kHeader + inputs("1013", "293.15", "0", "0", "45", "90") +
                            "\nIPWV = 0 cm\n" + kStored);
    std::vector<sql::Row> stored = rows("SELECT ipwv_value, data FROM ipwv");
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0][0], "0");
    EXPECT_EQ(stored[0][1], kMinute);

    // The same at latitude 10 degrees and 100 m: the hydrostatic delay
    // exceeds the total, IPWV is negative, printed, not stored.
    sql::resetTables(server->socket());
    double negative = niellRT(kMinute, 100, 10, 90, 1013, 293.15, 0);
    ASSERT_LT(negative, 0);
    allWeather(1013, 20, 0, kMinute);
    position("10", "100", "90", 5, kMinute);
    r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, kHeader + inputs("1013", "293.15", "0", "100", "10", "90") +
                            "\nIPWV = " + g(negative) + " cm\n");
    EXPECT_EQ(storedRows(), 0u);
}

TEST_F(MistrelRun, FailedStoreAndUnreachableServerFail) {
    // Without table ipwv the value is lost: the statement (six decimals,
    // ending in a newline) is printed and the run fails.
    allWeather(1013, 20, 0, kMinute);
    position("45", "0", "90", 5, kMinute);
    exec("DROP TABLE ipwv");
    RunResult r = run();
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.output, kHeader + inputs("1013", "293.15", "0", "0", "45", "90") +
                            "\nIPWV = 0 cm\n\nQuery Failed\nqueryString : INSERT INTO ipwv "
                            "(ipwv_value, data) VALUES (0.000000, '2014-03-05 14:07:00');\n\n\n");

    // No server: every look-up reports its error, the position first ends the run.
    TempDir dir("ulmet-dead");
    r = run(dir.file("dead.sock"));
    EXPECT_EQ(r.status, 255);
    std::string lookupError = "\natmosphericData Error queryIPWV.\n\n";
    EXPECT_EQ(r.output, kHeader + lookupError + lookupError + lookupError +
                            "2014-03-05 14:07:00:\nError queryIPWV.\n\n" + kMissingGps);
}

}  // namespace
