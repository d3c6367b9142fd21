// The weather-sensor daemon on a pseudo-terminal fed by the sensor
// simulator, with a private server and a clock ten times faster than the
// real one (a minute lasts 6 s): the rows of each minute are the means of
// the samples sent in it, stamped at second 25 of the minute (where the
// retrieval looks for them), and a database outage loses none of them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <regex>

#include "TestSupport.h"
#include "weather/NmeaWeather.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

std::vector<std::string> withFaketime(const std::string& faketime) {
    std::vector<std::string> env = faketimeEnv(0);
    for (std::string& e : env)
        if (e.rfind("FAKETIME=", 0) == 0) e = "FAKETIME=" + faketime;
    env.push_back("TZ=UTC");
    return env;
}

struct Sample {
    double P, T, RH;
};

TEST(WeatherDaemon, MinuteMeansSurviveAnOutage) {
    PrivateServer server;
    const std::string sock = server.socket();
    TempDir dir("ulmet-weather");
    const std::string fifo = dir.file("input");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ChildProcess sim({binDir() + "/weather_sensor_sim", "--format", "xdr", "--input", fifo,
                      "--link", dir.file("sensor")});
    std::ofstream input(fifo);  // opens once the simulator reads
    ASSERT_TRUE(sim.waitForOutput("PTY ", 10s)) << sim.output();

    // The daemon's clock starts at second 30 of a minute, far from the
    // window's end at second 25, so the first batch lands in one window.
    std::vector<std::string> env =
        withFaketime("+" + std::to_string(offsetToSecondOfMinute(30)) + " x10");
    env.push_back("MYSQL_UNIX_PORT=" + sock);
    ChildProcess daemon({binDir() + "/ulmet-weather", "--device", dir.file("sensor")}, env,
                        dir.path());
    ASSERT_TRUE(daemon.waitForOutput("reading ", 10s)) << daemon.output();

    // Five windows, each of the batch sent right after the previous row:
    // the sentences arrive within a fraction of the window's 6 s. The
    // spoiled ones (cut, wrong checksum) must count for nothing.
    const std::vector<std::vector<Sample>> batches = {
        {{1013.10, 15.00, 60.00}, {1013.30, 15.50, 62.00}},
        {{1012.00, 14.00, 55.00}},
        {{1011.00, 13.00, 50.00}, {1011.50, 13.25, 51.00}, {1012.00, 13.50, 52.00}},
        {{1010.00, 12.00, 45.00}, {1010.20, 12.10, 45.50}},
        {{1009.00, 11.00, 40.00}, {1009.40, 11.40, 41.00}},
    };
    std::vector<Sample> means;
    for (std::size_t b = 0; b < batches.size(); ++b) {
        if (b == 2) server.stop();  // batches 2 and 3 meet no database
        if (b == 4) server.start();
        Sample sum{0, 0, 0};
        for (const Sample& s : batches[b]) {
            input << s.P << " " << s.T << " " << s.RH << "\n";
            input << s.P + 50 << " " << s.T << " " << s.RH << " cut\n";
            input << s.P << " " << s.T + 5 << " " << s.RH << " bad\n";
            sum = {sum.P + s.P, sum.T + s.T, sum.RH + s.RH};
        }
        input.flush();
        const double n = static_cast<double>(batches[b].size());
        means.push_back({sum.P / n, sum.T / n, sum.RH / n});
        const std::size_t rows = 3 * (b + 1);
        ASSERT_TRUE(waitFor([&] { return count(daemon.output(), "Minute ") >= rows; }, 20s))
            << daemon.output();
    }
    // Everything stored once the server is back, nothing twice.
    ASSERT_TRUE(
        waitFor([&] { return sql::scalar("SELECT COUNT(*) FROM humidity", sock) == "5"; }, 30s))
        << daemon.output();
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait(10s), 0) << daemon.output();
    EXPECT_THAT(daemon.output(), HasSubstr("dropped"));
    EXPECT_EQ(count(daemon.output(), "Dropped sentence"), 2 * 10u);

    std::vector<sql::Row> rows = sql::rows(
        "SELECT p.data, pressure_value, temperature_value, humidity_value FROM pressure p JOIN "
        "temperature t ON t.data = p.data JOIN humidity h ON h.data = p.data ORDER BY p.data",
        sock);
    ASSERT_EQ(rows.size(), means.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i][0]);
        EXPECT_TRUE(std::regex_match(rows[i][0], std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:25)")));
        EXPECT_NEAR(std::stod(rows[i][1]), means[i].P, 0.0051);
        EXPECT_NEAR(std::stod(rows[i][2]), means[i].T, 0.0051);
        EXPECT_NEAR(std::stod(rows[i][3]), means[i].RH, 0.0051);
        if (i > 0) {
            EXPECT_LT(rows[i - 1][0], rows[i][0]);  // one row per minute
        }
    }

    sim.signal(SIGTERM);
}

// A marine-style ultrasonic station on the line: $WIMDA with the pressure
// reduced to sea level, $YXXDR with wind chill and heat index beside the
// air temperature and the station pressure, and noise with terminal
// control bytes. The minute holds the air temperature and the station
// pressure alone; the noise reaches the output escaped.
TEST(WeatherDaemon, RealStationSentencesAndControlBytes) {
    PrivateServer server;
    const std::string sock = server.socket();
    TempDir dir("ulmet-weather");
    Pty sensor;
    std::vector<std::string> env =
        withFaketime("+" + std::to_string(offsetToSecondOfMinute(30)) + " x10");
    env.push_back("MYSQL_UNIX_PORT=" + sock);
    ChildProcess daemon({binDir() + "/ulmet-weather", "--device", sensor.path()}, env, dir.path());
    ASSERT_TRUE(daemon.waitForOutput("MDA pressure: auto", 10s)) << daemon.output();
    auto sentence = [](const std::string& body) {
        char sum[8];
        std::snprintf(sum, sizeof sum, "*%02X\r\n", nmeaChecksum(body));
        return "$" + body + sum;
    };
    std::string burst;
    for (int i = 0; i < 3; ++i)
        burst += sentence("WIMDA,29.8999,I,1.0125,B,2.0,C,,C,75.0,,-1.9,C,,T,,M,3.2,N,1.6,M") +
                 sentence("YXXDR,C,-3.1,C,WCHR,C,-3.1,C,WCHT,C,2.0,C,HINX,P,1.0090,B,STNP");
    burst += std::string("$WIXDR,C,1\x1b[2J\x07\0,C,Air*00\r\n", 27) + "\x1b]0;owned\x07\r\n";
    sensor.write(burst);
    ASSERT_TRUE(waitFor([&] { return count(daemon.output(), "Minute ") >= 3; }, 20s))
        << daemon.output();
    ASSERT_TRUE(
        waitFor([&] { return sql::scalar("SELECT COUNT(*) FROM humidity", sock) == "1"; }, 20s));
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait(10s), 0);
    const std::string out = daemon.output();
    EXPECT_EQ(sql::scalar("SELECT pressure_value FROM pressure", sock), "1009") << out;
    EXPECT_EQ(sql::scalar("SELECT temperature_value FROM temperature", sock), "2") << out;
    EXPECT_EQ(sql::scalar("SELECT humidity_value FROM humidity", sock), "75") << out;
    EXPECT_EQ(count(out, "Dropped sentence"), 2u) << out;
    EXPECT_THAT(out, HasSubstr("\\x1b[2J\\x07\\x00,C,Air*00")) << out;
    EXPECT_THAT(out, HasSubstr("\\x1b]0;owned\\x07")) << out;
    for (char c : {'\x1b', '\x07', '\0'})
        EXPECT_THAT(out, Not(HasSubstr(std::string(1, c)))) << int(c);
}

}  // namespace
