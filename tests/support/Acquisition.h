// The acquisition end to end: a private server, the receiver simulator on
// a pseudo-terminal and the real Corvana program in one working directory,
// under faked clocks. The rows stored are compared with the rows that the
// simulator says a correct daemon stores.
#ifndef ULMET_ACQUISITION_FIXTURE_H
#define ULMET_ACQUISITION_FIXTURE_H

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace testsupport {

struct Acquisition : ::testing::Test {
    using seconds = std::chrono::seconds;

    // The simulator (an emission every `interval` seconds) and the daemon,
    // each on a clock a few seconds before a whole minute (set after the
    // server has started, which takes a while), or with `oneClock` both on
    // the simulator's; returns once the daemon acquires.
    void start(const std::string& scenario, int interval = 10,
               const std::vector<std::string>& simOptions = {}, bool oneClock = false) {
        base_ = {"TZ=UTC", "TERM=dumb", "MYSQL_UNIX_PORT=" + server_.socket(),
                 "CORVANA_PORT=" + dir_.file("ttyRECEIVER")};
        std::vector<std::string> env = faketimeEnv(offsetToSecondOfMinute(56));
        env.insert(env.end(), base_.begin(), base_.end());
        std::vector<std::string> argv = {binDir() + "/receiver_sim", "--seed", "7"};
        argv.insert(argv.end(), {"--link", dir_.file("ttyRECEIVER"), "--scenario", scenario});
        argv.insert(argv.end(), {"--expected-rows", dir_.file("expected")});
        argv.insert(argv.end(), {"--interval-seconds", std::to_string(interval)});
        argv.insert(argv.end(), simOptions.begin(), simOptions.end());
        sim_.reset(new ChildProcess(argv, env, dir_.path()));
        ASSERT_TRUE(sim_->waitForOutput("PTY ", seconds(10))) << sim_->output();
        oneClock ? runDaemon(env) : startDaemon();
    }

    // A new daemon, on a clock at second `second` of a minute (its
    // countdown ends at the next whole minute).
    void startDaemon(int second = 56) {
        std::vector<std::string> env = faketimeEnv(offsetToSecondOfMinute(second));
        env.insert(env.end(), base_.begin(), base_.end());
        runDaemon(env);
    }
    void runDaemon(std::vector<std::string> env) {
        env.insert(env.end(), daemonEnv_.begin(), daemonEnv_.end());
        daemon_.reset(new ChildProcess({binDir() + "/Corvana"}, env, dir_.path()));
        ASSERT_TRUE(daemon_->waitForOutput("DAQ START", seconds(20))) << daemon_->output();
    }

    // Ends the daemon with SIGINT; returns its whole output.
    std::string stopDaemon() {
        daemon_->signal(SIGINT);
        EXPECT_EQ(daemon_->wait(seconds(20)), 0) << daemon_->output();
        return daemon_->output();
    }

    // The rows that a correct daemon stores, as the simulator wrote them.
    std::vector<std::string> expected() const { return fileLines(dir_.file("expected")); }
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
    std::vector<std::string> base_;       // the environment of both, without the clock
    std::vector<std::string> daemonEnv_;  // the daemon's only
    std::unique_ptr<ChildProcess> sim_, daemon_;
};

}  // namespace testsupport

#endif
