// The real Mistrel program under a faked clock (2014-03-05 14:07:42 UTC)
// against a private MariaDB server of this test program.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

#include "IPWV_Models.h"
#include "TestSupport.h"

using namespace testsupport;

namespace {

PrivateServer& server() {
    static PrivateServer s;
    return s;
}

const char kMinute[] = "2014-03-05 14:07:00";
const std::string kHeader =
    "\n------ ------ ------ ------ ------ ------\n\nIPWV Computing\n\nDatetime = [2014-03-05 "
    "14:07:00]\n";
const std::string kNoGps = "2014-03-05 14:07:00: ****** No gps Data ****** \n\n";
const std::string kMissingGps = "\nIPWV cannot be evaluated ==> Missing GPS Data\n\n";
const std::string kMissingWeather = "\nIPWV cannot be evaluated ==> Missing Atmospheric Data\n\n";
const std::string kStored =
    "Successful query. IPWV Data correctly stored.\n\n====== ====== ====== ====== ====== ====== "
    "\n\n";

std::string reading(const std::string& table, const std::string& value, const std::string& at) {
    return "INSERT INTO " + table + " (" + table + "_value, data) VALUES (" + value + ", '" + at +
           "')";
}
using Rows = std::vector<std::string>;
Rows operator+(Rows rows, const Rows& more) {
    rows.insert(rows.end(), more.begin(), more.end());
    return rows;
}
Rows operator+(Rows rows, const std::string& more) { return rows + Rows{more}; }
Rows weather(const std::string& p, const std::string& t, const std::string& rh,
             const std::string& at = kMinute) {
    return {reading("pressure", p, at), reading("temperature", t, at), reading("humidity", rh, at)};
}
std::string position(const std::string& lat, const std::string& height, const std::string& elev,
                     const std::string& at = kMinute) {
    return "INSERT INTO troposphericDelay (latitude, height, elevation, data) VALUES (" + lat +
           ", " + height + ", " + elev + ", '" + at + "')";
}

// A number as printf prints it ("%g" is what an ostream prints).
std::string format(const char* spec, double value) {
    char text[64];
    std::snprintf(text, sizeof text, spec, value);
    return text;
}

// The printed inputs of a run that got as far as the model.
std::string inputs(const std::string& p, const std::string& t, const std::string& rh,
                   const std::string& h, const std::string& lat, const std::string& elev) {
    return "\nPressure = " + p + " hPa\nTemperature = " + t + " °K\nRH = " + rh +
           " %\nHeight = " + h + " m\nLatitude = " + lat + " °\nElevation = " + elev + " °\n";
}

class MistrelRun : public ::testing::Test {
  protected:
    void SetUp() override {
        if (faketimeLibrary().empty()) GTEST_SKIP() << "libfaketime not installed";
        reset();
    }
    // Empty tables of the station's schema (cases alter or drop some).
    void reset() {
        sql::exec("DROP TABLE IF EXISTS troposphericDelay, temperature", server().socket());
        sql::resetTables(server().socket());
    }
    void exec(const Rows& statements) {
        for (const std::string& s : statements) sql::exec(s, server().socket());
    }
    std::vector<sql::Row> stored() {
        try {
            return sql::rows("SELECT CAST(ipwv_value AS DECIMAL(20, 6)), data FROM ipwv",
                             server().socket());
        } catch (const std::runtime_error&) {
            return {{"no table"}};
        }
    }

    // A run on fresh tables holding `rows`: its exit status, its output
    // after the header and the rows it stored.
    void expect(const char* what, const Rows& rows, int exit, const std::string& output,
                const std::vector<sql::Row>& rowsStored = {}, const std::string& socket = "") {
        SCOPED_TRACE(what);
        reset();
        exec(rows);
        const auto [status, text] = run(socket);
        EXPECT_EQ(status, exit);
        EXPECT_EQ(text, kHeader + output);
        EXPECT_EQ(stored(), rowsStored);
    }

    // One run with the clock at 2014-03-05 14:07:42 UTC (running on from
    // there; 18 s of slack); the exit status and the output.
    std::pair<int, std::string> run(const std::string& socket = "",
                                    const std::vector<std::string>& args = {}) {
        struct tm target = {42, 7, 14, 5, 2, 114, 0, 0, 0, 0, nullptr};
        std::vector<std::string> env = faketimeEnv(timegm(&target) - time(nullptr));
        env.push_back("TZ=UTC");
        env.push_back("MYSQL_UNIX_PORT=" + (socket.empty() ? server().socket() : socket));
        std::vector<std::string> argv = {binDir() + "/Mistrel"};
        argv.insert(argv.end(), args.begin(), args.end());
        ChildProcess child(argv, env);
        const int status = child.wait(std::chrono::seconds(60));
        return {status, child.output()};
    }
};

TEST_F(MistrelRun, RetrievesAndStoresTheCurrentMinute) {
    // Weather rows anywhere in 14:07 qualify; the neighbouring minutes do
    // not. Position rows must be stamped at second 00 exactly; of three
    // satellites in the minute one is used.
    exec({reading("pressure", "1013", "2014-03-05 14:07:05"),
          reading("temperature", "20.0", "2014-03-05 14:07:35"),
          reading("humidity", "60", "2014-03-05 14:07:59"), position("40", "100", "30"),
          position("40", "100", "45"), position("40", "100", "60"),
          position("41", "200", "50", "2014-03-05 14:07:42"),
          position("42", "300", "55", "2014-03-05 14:08:00")});
    exec(weather("900", "-10", "10", "2014-03-05 14:06:59"));
    exec(weather("901", "-11", "11", "2014-03-05 14:08:00"));

    const auto [status, output] = run("", {"ignored", "--help"});
    ASSERT_EQ(status, 0) << output;
    const auto at = output.find("Elevation = ");
    ASSERT_NE(at, std::string::npos) << output;
    const double elevation = std::strtod(output.c_str() + at + 12, nullptr);
    EXPECT_TRUE(elevation == 30 || elevation == 45 || elevation == 60) << elevation;

    // 20.0 degrees Celsius reaches the model as 293.15 K.
    const double ipwv = niellRT(kMinute, 100, 40, elevation, 1013, 293.15, 60);
    ASSERT_GT(ipwv, 0);
    EXPECT_EQ(output, kHeader +
                          inputs("1013", "293.15", "60", "100", "40", format("%g", elevation)) +
                          "\nIPWV = " + format("%g", ipwv) + " cm\n" + kStored);
    // Stored with six decimals.
    EXPECT_EQ(stored(), (std::vector<sql::Row>{{format("%f", ipwv), kMinute}}));
}

TEST_F(MistrelRun, MissingDataAndOddValues) {
    // Dry air (RH 0) at the zenith, latitude 45 degrees, height 0: the
    // slant delay equals the hydrostatic delay exactly, IPWV is 0; at
    // latitude 10 degrees and 100 m the hydrostatic delay exceeds the
    // total, IPWV is negative.
    ASSERT_EQ(niellRT(kMinute, 0, 45, 90, 1013, 293.15, 0), 0.0);
    const double negative = niellRT(kMinute, 100, 10, 90, 1013, 293.15, 0);
    ASSERT_LT(negative, 0);
    const Rows w = weather("1013", "20", "60"), dry = weather("1013", "20", "0");
    const std::string zero = inputs("1013", "293.15", "0", "0", "45", "90") + "\nIPWV = 0 cm\n";
    // A text column, to hold something else than a number.
    const std::string textElevation = "ALTER TABLE troposphericDelay MODIFY elevation VARCHAR(32)";
    expect("position only at other seconds",
           w + position("40", "100", "30", "2014-03-05 14:07:42") +
               position("40", "100", "30", "2014-03-05 14:08:00"),
           255, kNoGps + kMissingGps);
    expect("no pressure in the minute",
           Rows{reading("pressure", "1013", "2014-03-05 14:08:00"), w[1], w[2]} +
               position("40", "100", "30"),
           255, kMissingWeather);
    expect("both missing: only the position is reported", {}, 255, kNoGps + kMissingGps);
    expect("NULL height", w + position("40", "NULL", "30"), 255, kMissingGps);
    expect("NULL humidity", weather("1013", "20", "NULL") + position("40", "100", "30"), 255,
           kMissingWeather);
    expect("elevation not a number", w + textElevation + position("40", "100", "'n/a'"), 255,
           kMissingGps);
    expect("temperature not a number",
           Rows{textElevation, "ALTER TABLE temperature MODIFY temperature_value VARCHAR(32)"} +
               weather("1013", "'20 C'", "60") + position("40", "100", "'30'"),
           255, kMissingWeather);
    expect("zero is stored", dry + position("45", "0", "90"), 0, zero + kStored,
           {{"0.000000", kMinute}});
    expect("negative is printed, not stored", dry + position("10", "100", "90"), 0,
           inputs("1013", "293.15", "0", "100", "10", "90") + "\nIPWV = " + format("%g", negative) +
               " cm\n");
    expect("no table ipwv: the statement is printed",
           dry + position("45", "0", "90") + "DROP TABLE ipwv", 255,
           zero +
               "\nQuery Failed\nqueryString : INSERT INTO ipwv (ipwv_value, data) VALUES "
               "(0.000000, '2014-03-05 14:07:00');\n\n\n",
           {{"no table"}});

    // No server: every look-up reports its error, the position first ends the run.
    TempDir dir("ulmet-dead");
    const std::string lookupError = "\natmosphericData Error queryIPWV.\n\n";
    expect("no server", {}, 255,
           lookupError + lookupError + lookupError + "2014-03-05 14:07:00:\nError queryIPWV.\n\n" +
               kMissingGps,
           {}, dir.file("dead.sock"));
}

}  // namespace
