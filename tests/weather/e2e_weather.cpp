// The weather-sensor daemon on pseudo-terminals, with a private server and
// a clock ten times faster than the real one (a minute lasts 6 s): the rows
// of each minute are the means of the samples sent in it, stamped at
// second 25 of the minute (where the retrieval looks for them), and a
// database outage loses none of them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <memory>
#include <regex>

#include "TestSupport.h"
#include "weather/NmeaWeather.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

struct Sample {
    double P, T, RH;
};

// The daemon with `options`, storing into the server of `sock`, on a
// clock ten times faster than the real one that starts `hours` ahead, at
// second 30 of a minute: far from the window's end at second 25, so that
// a batch sent at once lands in one window.
std::unique_ptr<ChildProcess> startDaemon(std::vector<std::string> options, const std::string& sock,
                                          const std::string& cwd, int hours) {
    std::vector<std::string> env = faketimeEnv(0);
    for (std::string& e : env)
        if (e.rfind("FAKETIME=", 0) == 0)
            e = "FAKETIME=+" + std::to_string(3600 * hours + offsetToSecondOfMinute(30)) + " x10";
    env.insert(env.end(), {"TZ=UTC", "MYSQL_UNIX_PORT=" + sock});
    options.insert(options.begin(), binDir() + "/ulmet-weather");
    return std::make_unique<ChildProcess>(options, env, cwd);
}

// Two daemons on one server at once. The first reads the simulator, whose
// batches meet a database outage. The second, its clock an hour ahead,
// reads a marine-style ultrasonic station: $WIMDA with the pressure
// reduced to sea level, $YXXDR with wind chill and heat index beside the
// air temperature and the station pressure, and noise with terminal
// control bytes. Its minute holds the air temperature and the station
// pressure alone; the noise reaches the output escaped.
TEST(WeatherDaemon, MinuteMeansSurviveAnOutageRealStationSentencesAndControlBytes) {
    PrivateServer server;
    const std::string sock = server.socket();
    TempDir dir("ulmet-weather");
    Pty sensor;
    std::unique_ptr<ChildProcess> station = startDaemon(
        {"--device", sensor.path(), "--spool", dir.file("station-spool.sql")}, sock, dir.path(), 1);
    ASSERT_TRUE(station->waitForOutput("MDA pressure: auto", 10s)) << station->output();
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
    const std::string fifo = dir.file("input");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ChildProcess sim({binDir() + "/weather_sensor_sim", "--format", "xdr", "--input", fifo,
                      "--link", dir.file("sensor")});
    std::ofstream input(fifo);  // opens once the simulator reads
    ASSERT_TRUE(sim.waitForOutput("PTY ", 10s)) << sim.output();
    std::unique_ptr<ChildProcess> daemon =
        startDaemon({"--device", dir.file("sensor")}, sock, dir.path(), 0);
    ASSERT_TRUE(daemon->waitForOutput("reading ", 10s)) << daemon->output();

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
        ASSERT_TRUE(waitFor([&] { return count(daemon->output(), "Minute ") >= rows; }, 20s))
            << daemon->output();
    }
    means.push_back({1009, 2, 75});  // the station's minute, an hour later
    // Everything stored once the server is back, nothing twice.
    ASSERT_TRUE(
        waitFor([&] { return sql::scalar("SELECT COUNT(*) FROM humidity", sock) == "6"; }, 30s))
        << daemon->output() << station->output();
    for (ChildProcess* d : {daemon.get(), station.get()}) {
        d->signal(SIGTERM);
        EXPECT_EQ(d->wait(10s), 0) << d->output();
    }
    EXPECT_THAT(daemon->output(), HasSubstr("dropped"));
    EXPECT_EQ(count(daemon->output(), "Dropped sentence"), 2 * 10u);

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
    const std::string out = station->output();
    EXPECT_EQ(count(out, "Dropped sentence"), 2u) << out;
    EXPECT_THAT(out, HasSubstr("\\x1b[2J\\x07\\x00,C,Air*00")) << out;
    EXPECT_THAT(out, HasSubstr("\\x1b]0;owned\\x07")) << out;
    for (char c : {'\x1b', '\x07', '\0'})
        EXPECT_THAT(out, Not(HasSubstr(std::string(1, c)))) << int(c);
    sim.signal(SIGTERM);
}

}  // namespace
