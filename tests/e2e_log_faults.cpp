// Faults on the line and a second daemon, end to end: the real Corvana
// program reads the receiver simulator on a pseudo-terminal and stores into
// a private MariaDB server, under one faked clock. The simulator corrupts or
// leaves out chosen logs and lists the rows that a correct daemon stores;
// the table must hold exactly those rows: none lost, none doubled, no value
// from a corrupted log.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

using namespace testsupport;
using namespace std::chrono;

namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

class LogFaults : public ::testing::Test {
  protected:
    // Simulator (8 satellites, fast line, an emission every 3 s, `faults`)
    // and daemon in one working directory, on a clock 3 s before a whole
    // minute; returns once the daemon acquires. The logs go on about 1 s
    // after the minute, so the first emission (second 03) comes after the
    // replies to the set-up commands.
    void start(const std::vector<std::string>& faults) {
        env_ = faketimeEnv(offsetToSecondOfMinute(57));
        env_.insert(env_.end(), {"TZ=UTC", "TERM=dumb", "MYSQL_UNIX_PORT=" + server_.socket(),
                                 "CORVANA_PORT=" + dir_.file("tty")});
        std::vector<std::string> argv = {binDir() + "/receiver_sim",
                                         "--link",
                                         dir_.file("tty"),
                                         "--expected-rows",
                                         dir_.file("expected"),
                                         "--commands",
                                         dir_.file("commands"),
                                         "--satellites",
                                         "8",
                                         "--baud",
                                         "38400",
                                         "--interval-seconds",
                                         "3",
                                         "--seed",
                                         "11"};
        argv.insert(argv.end(), faults.begin(), faults.end());
        sim_.reset(new ChildProcess(argv, env_, dir_.path()));
        ASSERT_TRUE(sim_->waitForOutput("PTY ", seconds(10))) << sim_->output();
        daemon_.reset(new ChildProcess({binDir() + "/Corvana"}, env_, dir_.path()));
        ASSERT_TRUE(daemon_->waitForOutput("DAQ START", seconds(20))) << daemon_->output();
    }

    // Waits until the daemon has dealt with `n` visibility logs in all.
    bool visibilityLogs(std::size_t n) {
        auto handled = [&] {
            std::string out = daemon_->output();
            return count(out, "SATVIS_LOG\n") + count(out, "#SATVISA log dropped") >= n;
        };
        for (auto end = steady_clock::now() + seconds(60); !handled();
             std::this_thread::sleep_for(milliseconds(100)))
            if (steady_clock::now() >= end || !daemon_->running()) return false;
        return true;
    }

    std::string stopDaemon() {
        daemon_->signal(SIGINT);
        EXPECT_EQ(daemon_->wait(seconds(20)), 0) << daemon_->output();
        return daemon_->output();
    }

    // The stored rows equal the expected ones, in order: none lost, none
    // doubled, none from a corrupted log.
    void exactlyTheExpectedRows() {
        EXPECT_EQ(sql::delayRows(server_.socket()), lines(readFile(dir_.file("expected"))))
            << daemon_->output();
    }

    // Emission times (the date-time of their rows) in the expected rows.
    std::set<std::string> minutesWithRows() {
        std::set<std::string> times;
        for (const std::string& row : lines(readFile(dir_.file("expected"))))
            times.insert(row.substr(0, 19));
        return times;
    }

    TempDir dir_{"ulmet-faults"};
    PrivateServer server_;
    std::vector<std::string> env_;
    std::unique_ptr<ChildProcess> sim_, daemon_;
};

TEST_F(LogFaults, CorruptedOrMissingLogsStoreNothingWrongAndEveryCleanRow) {
    // Emission 2: a latitude digit changed (the position of emission 1 is
    // used); 3: a delay digit; 4: an elevation digit; 5: no satellite
    // positions at all. Emissions 3 to 5 store nothing.
    ASSERT_NO_FATAL_FAILURE(
        start({"--corrupt", "bestposa:2,satxyz2a:3,satvisa:4", "--drop", "satxyz2a:5"}));
    ASSERT_TRUE(visibilityLogs(6)) << daemon_->output();
    std::string out = stopDaemon();
    EXPECT_EQ(minutesWithRows().size(), 3u) << readFile(dir_.file("expected"));
    exactlyTheExpectedRows();
    for (const char* log : {"#BESTPOSA", "#SATXYZ2A", "#SATVISA"})
        EXPECT_EQ(count(out, std::string(log) + " log dropped: checksum "), 1u) << log << out;
    EXPECT_EQ(count(out, "has no satellite-positions log of the same time"), 2u) << out;
    EXPECT_NE(out.find("Logs dropped for a wrong or cut checksum: 3\n"), std::string::npos);
}

TEST_F(LogFaults, SecondDaemonIsRefusedAndTheFirstGoesOn) {
    // A lock file left by a daemon that was killed does not block.
    std::ofstream(dir_.file("corvana.lock")) << "999999\n";
    ASSERT_NO_FATAL_FAILURE(start({}));
    ASSERT_TRUE(visibilityLogs(1)) << daemon_->output();
    const std::string holder = "another Corvana (PID " + std::to_string(daemon_->pid()) + ") ";
    // In the same directory; then elsewhere, on the same device.
    TempDir elsewhere("ulmet-faults2");
    for (const std::string& cwd : {dir_.path(), elsewhere.path()}) {
        ChildProcess second({binDir() + "/Corvana"}, env_, cwd);
        EXPECT_EQ(second.wait(seconds(20)), 255) << second.output();
        std::string reason = cwd == dir_.path() ? "holds " + dir_.file("corvana.lock") + "."
                                                : "uses the device " + dir_.file("tty") + ".";
        EXPECT_EQ(second.output(), "Corvana does not start: " + holder + reason + "\n");
    }
    std::size_t seen = count(daemon_->output(), "SATVIS_LOG\n");
    ASSERT_TRUE(visibilityLogs(seen + 2)) << daemon_->output();
    stopDaemon();
    EXPECT_EQ(readFile(dir_.file("commands")),
              "log versiona once\nunlogall true\nlog bestposa ontime 60\nlog satxyz2a ontime 60\n"
              "log satvisa ontime 60\nunlogall true\n");
    exactlyTheExpectedRows();
}

}  // namespace
