// Acquisition end to end: the real Corvana program reads the receiver
// simulator on a pseudo-terminal and stores rows in a private MariaDB
// server; daemon and simulator share one faked clock. The rows stored must
// equal, in order, the rows that the simulator says a correct daemon
// stores, also with garbage in the stream and when the database (and the
// daemon) went away for a while.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

using namespace testsupport;
using namespace std::chrono;
using std::this_thread::sleep_for;

template <class Condition>
static bool waitFor(Condition condition, seconds timeout) {
    for (auto end = steady_clock::now() + timeout; !condition(); sleep_for(milliseconds(100)))
        if (steady_clock::now() >= end) return false;
    return true;
}

// A private server, the simulator (an emission every 10 s) and the daemon
// in one working directory, under one faked clock.
struct Acquisition : ::testing::Test {
    // Simulator and daemon on a clock a few seconds before a whole minute
    // (set after the server has started, which takes a while), just after
    // a real second has begun; returns once the daemon acquires.
    void start(const std::string& scenario) {
        env_ = faketimeEnv(offsetToSecondOfMinute(56));
        env_.insert(env_.end(), {"TZ=UTC", "TERM=dumb", "MYSQL_UNIX_PORT=" + server_.socket(),
                                 "CORVANA_PORT=" + dir_.file("ttyRECEIVER")});
        sim_.reset(new ChildProcess({binDir() + "/receiver_sim", "--link", dir_.file("ttyRECEIVER"),
                                     "--expected-rows", dir_.file("expected"), "--interval-seconds",
                                     "10", "--seed", "7", "--scenario", scenario},
                                    env_, dir_.path()));
        ASSERT_TRUE(sim_->waitForOutput("PTY ", seconds(10))) << sim_->output();
        daemon_.reset(new ChildProcess({binDir() + "/Corvana"}, env_, dir_.path()));
        ASSERT_TRUE(daemon_->waitForOutput("DAQ START", seconds(20))) << daemon_->output();
    }

    // Ends the daemon with SIGINT; returns its whole output.
    std::string stopDaemon() {
        daemon_->signal(SIGINT);
        EXPECT_EQ(daemon_->wait(seconds(20)), 0) << daemon_->output();
        return daemon_->output();
    }

    // The rows that a correct daemon stores, as the simulator wrote them.
    std::vector<std::string> expected() const {
        std::vector<std::string> rows;
        std::istringstream in(readFile(dir_.file("expected")));
        for (std::string line; std::getline(in, line);) rows.push_back(line);
        return rows;
    }
    std::size_t emissions() const {
        std::set<std::string> minutes;
        for (const std::string& row : expected()) minutes.insert(row.substr(0, 19));
        return minutes.size();
    }

    // The rows of troposphericDelay in arrival order, in the simulator's
    // text form.
    std::vector<std::string> stored() const { return sql::delayRows(server_.socket()); }

    // Waits until `n` emissions were written completely and the database holds exactly their rows.
    void allStored(std::size_t n, seconds timeout) {
        waitFor([&] { return emissions() >= n && stored().size() >= expected().size(); }, timeout);
        ASSERT_GE(emissions(), n) << daemon_->output();
        ASSERT_EQ(stored(), expected()) << daemon_->output();
    }

    // Waits until the daemon has handled one more visibility log.
    bool nextVisibilityLog(seconds timeout) {
        std::size_t n = daemon_->output().size();
        auto seen = [&] { return daemon_->output().find("SATVIS_LOG\n", n) != std::string::npos; };
        return waitFor(seen, timeout);
    }

    TempDir dir_{"ulmet-acq"};
    PrivateServer server_;
    std::vector<std::string> env_;
    std::unique_ptr<ChildProcess> sim_, daemon_;
};

TEST_F(Acquisition, EmissionsWithGarbageAreStoredExactly) {
    ASSERT_NO_FATAL_FAILURE(start("garbage,split,low,negative,exact30,missing"));
    allStored(2, seconds(40));
    EXPECT_EQ(stopDaemon().find("Error in ["), std::string::npos);
}

TEST_F(Acquisition, NoRowLostWhileTheDatabaseOrTheDaemonIsAway) {
    ASSERT_NO_FATAL_FAILURE(start("low,missing"));
    ASSERT_NO_FATAL_FAILURE(allStored(1, seconds(25)));
    // The database stops for one visibility log; the kept rows go in before the next log's.
    server_.stop();
    ASSERT_TRUE(nextVisibilityLog(seconds(15))) << daemon_->output();
    server_.start();
    ASSERT_NO_FATAL_FAILURE(allStored(3, seconds(30)));
    // The database stops again, and the daemon stops and starts while rows are kept (after
    // the driver's countdown); its own rows queue behind them until the database is back.
    server_.stop();
    ASSERT_TRUE(nextVisibilityLog(seconds(15))) << daemon_->output();
    stopDaemon();
    daemon_.reset(new ChildProcess({binDir() + "/Corvana"}, env_, dir_.path()));
    ASSERT_TRUE(nextVisibilityLog(seconds(85))) << daemon_->output();
    server_.start();
    allStored(emissions() + 1, seconds(30));
    EXPECT_EQ(stopDaemon().find("Error in ["), std::string::npos);
}
