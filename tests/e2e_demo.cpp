// The one-command demo, run as a user runs it (short form): the whole
// station on its simulators and a private server, its result checked in
// the database it leaves behind, and its clean stop, also on an interrupt.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

// Processes whose environment holds `entry` ("NAME=value"): the demo
// exports the socket of its server before it starts anything, so every
// process it started carries it.
std::vector<pid_t> processesWithEnv(const std::string& entry) {
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return found;
    while (dirent* e = readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(e->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == getpid()) continue;
        std::string env = readFile(std::string("/proc/") + e->d_name + "/environ");
        size_t at = 0;
        while (at < env.size()) {
            size_t stop = env.find('\0', at);
            if (stop == std::string::npos) stop = env.size();
            if (env.compare(at, stop - at, entry) == 0) {
                found.push_back(static_cast<pid_t>(pid));
                break;
            }
            at = stop + 1;
        }
    }
    closedir(proc);
    return found;
}

// Runs the demo in a fresh directory; whatever it leaves running is
// reported and killed, and its server's directory removed, at the end.
class DemoRun {
  public:
    // With `shiftedClock` the whole run (script, simulators, programs,
    // server) sees a clock shifted to a few seconds before a whole minute,
    // so that the countdown is short; the clock runs at its normal speed.
    // The faketime wrapper owns the clock library's shared state, which a
    // script's forked subshells would otherwise remove when they end.
    DemoRun(int minutes, bool shiftedClock)
        : marker_("MYSQL_UNIX_PORT=" + dir_.path() + "/db/mysqld.sock"),
          demo_(command(minutes, shiftedClock), {"DONT_FAKE_MONOTONIC=1"}) {}
    ~DemoRun() {
        demo_.signal(SIGKILL);
        demo_.wait(5s);
        for (pid_t pid : processesWithEnv(marker_)) kill(pid, SIGKILL);
        std::string script = sourceDir() + "/tests/support/mariadb.sh";
        std::system(("'" + script + "' destroy '" + dir_.path() + "/db' >/dev/null 2>&1").c_str());
    }
    ChildProcess& demo() { return demo_; }
    const std::string& dir() const { return dir_.path(); }
    std::vector<pid_t> leftovers() const { return processesWithEnv(marker_); }

  private:
    std::vector<std::string> command(int minutes, bool shiftedClock) const {
        std::vector<std::string> argv = {"/bin/bash", sourceDir() + "/scripts/demo",
                                         "--minutes", std::to_string(minutes),
                                         "--dir",     dir_.path(),
                                         "--bin-dir", binDir()};
        if (shiftedClock) {
            std::string offset = "+" + std::to_string(offsetToSecondOfMinute(50));
            argv.insert(argv.begin(), {"/usr/bin/faketime", "-f", offset});
        }
        return argv;
    }

    TempDir dir_{"ulmet-demo"};
    std::string marker_;
    ChildProcess demo_;
};

// Minutes listed in the demo's summary ("YYYY-MM-DD HH:MM" at a line start).
std::vector<std::string> summaryMinutes(const std::string& output) {
    std::vector<std::string> minutes;
    size_t at = output.find("=== Summary");
    if (at == std::string::npos) return minutes;
    std::regex line(R"(\n(\d{4}-\d\d-\d\d \d\d:\d\d) )");
    for (std::sregex_iterator it(output.begin() + at, output.end(), line), end; it != end; ++it)
        minutes.push_back((*it)[1]);
    return minutes;
}

TEST(Demo, ShortRunStoresEveryMinuteAndStopsEverything) {
    DemoRun run(2, true);
    int status = run.demo().wait(420s);
    std::string out = run.demo().output();
    ASSERT_EQ(status, 0) << out;

    // Two acquired minutes, listed in the summary, one after the other.
    std::vector<std::string> minutes = summaryMinutes(out);
    ASSERT_EQ(minutes.size(), 2u) << out;
    EXPECT_LT(minutes[0], minutes[1]);

    // The plot is a PNG image.
    std::string png = readFile(run.dir() + "/ipwv.png");
    ASSERT_GT(png.size(), 1000u);
    EXPECT_EQ(png.substr(1, 3), "PNG");

    // Everything was stopped: Corvana by SIGINT through its stop sequence,
    // the simulators (the receiver's link is gone), the server.
    EXPECT_TRUE(run.leftovers().empty());
    std::string corvana = readFile(run.dir() + "/corvana.log");
    EXPECT_NE(corvana.find("DAQ STOP"), std::string::npos);
    EXPECT_NE(corvana.find("Serial Comm CLOSED"), std::string::npos);
    EXPECT_NE(access((run.dir() + "/ttyGNSS").c_str(), F_OK), 0);

    // The data it left: for each minute, one row per simulated satellite
    // (twelve, all above the cut-off) stamped at second 00, the weather of
    // that minute and a plausible IPWV.
    std::string script = sourceDir() + "/tests/support/mariadb.sh";
    ASSERT_EQ(std::system(("'" + script + "' start '" + run.dir() + "/db' >/dev/null").c_str()), 0);
    std::string socket = run.dir() + "/db/mysqld.sock";
    for (const std::string& minute : minutes) {
        SCOPED_TRACE(minute);
        EXPECT_EQ(
            sql::scalar("SELECT COUNT(*) FROM troposphericDelay WHERE data = '" + minute + ":00'",
                        socket),
            "12");
        EXPECT_EQ(sql::scalar("SELECT COUNT(DISTINCT prn) FROM troposphericDelay WHERE data = '" +
                                  minute + ":00'",
                              socket),
                  "12");
        EXPECT_EQ(
            sql::scalar("SELECT COUNT(*) FROM pressure WHERE data LIKE '" + minute + "%'", socket),
            "1");
        std::vector<sql::Row> ipwv =
            sql::rows("SELECT ipwv_value FROM ipwv WHERE data = '" + minute + ":00'", socket);
        ASSERT_EQ(ipwv.size(), 1u);
        double value = std::atof(ipwv[0][0].c_str());
        EXPECT_GT(value, 0.1);
        EXPECT_LT(value, 10.0);
        EXPECT_NE(out.find("IPWV = "), std::string::npos);
    }
    // Nothing was stored for the minute of the countdown.
    EXPECT_EQ(
        sql::scalar("SELECT COUNT(*) FROM troposphericDelay WHERE data < '" + minutes[0] + ":00'",
                    socket),
        "0");
}

TEST(Demo, InterruptStopsEverythingItStarted) {
    DemoRun run(2, false);
    ASSERT_TRUE(run.demo().waitForOutput("Corvana started", 120s)) << run.demo().output();
    std::this_thread::sleep_for(1s);
    run.demo().signal(SIGINT);
    int status = run.demo().wait(60s);
    std::string out = run.demo().output();
    EXPECT_EQ(status, 130) << out;
    EXPECT_NE(out.find("stopped: Corvana, simulators, database server"), std::string::npos) << out;
    EXPECT_TRUE(run.leftovers().empty());
    EXPECT_NE(access((run.dir() + "/ttyGNSS").c_str(), F_OK), 0);
}

}  // namespace
