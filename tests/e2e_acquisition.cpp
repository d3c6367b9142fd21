// Acquisition end to end: the real Corvana program reads the receiver
// simulator on a pseudo-terminal and stores rows in a private MariaDB
// server; daemon and simulator share one faked clock. The rows stored must
// equal, in order, the rows that the simulator says a correct daemon
// stores, also with garbage in the stream and when the database (and the
// daemon) went away for a while.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
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

const char kDaqStart[] =
    "\n============================== DAQ START =======================================\n";

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) result.push_back(line);
    return result;
}

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

bool waitFor(const std::function<bool()>& condition, seconds timeout) {
    auto deadline = steady_clock::now() + timeout;
    while (!condition()) {
        if (steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(milliseconds(100));
    }
    return true;
}

// A private server, the simulator (an emission every 10 s) and the daemon
// in one working directory, under one faked clock.
class Acquisition : public ::testing::Test {
  protected:
    void SetUp() override {
        if (faketimeLibrary().empty()) GTEST_SKIP() << "libfaketime not installed";
    }

    // Simulator and daemon on a clock a few seconds before a whole minute
    // (set after the server has started, which takes a while), just after
    // a real second has begun; returns once the daemon acquires.
    void start(const std::string& scenario) {
        env_ = faketimeEnv(offsetToSecondOfMinute(56));
        env_.insert(env_.end(), {"TZ=UTC", "TERM=dumb", "MYSQL_UNIX_PORT=" + server_.socket()});
        sim_.reset(new ChildProcess({binDir() + "/receiver_sim", "--link", dir_.file("ttyRECEIVER"),
                                     "--expected-rows", dir_.file("expected"), "--interval-seconds",
                                     "10", "--seed", "7", "--scenario", scenario},
                                    env_, dir_.path()));
        ASSERT_TRUE(sim_->waitForOutput("PTY ", seconds(10))) << sim_->output();
        startDaemon();
        ASSERT_TRUE(daemon_->waitForOutput(kDaqStart, seconds(20))) << daemon_->output();
    }

    void startDaemon() {
        std::vector<std::string> e = env_;
        e.push_back("CORVANA_PORT=" + dir_.file("ttyRECEIVER"));
        daemon_.reset(new ChildProcess({binDir() + "/Corvana"}, e, dir_.path()));
    }

    // Ends the daemon with SIGINT; returns its whole output.
    std::string stopDaemon() {
        daemon_->signal(SIGINT);
        EXPECT_EQ(daemon_->wait(seconds(20)), 0) << daemon_->output();
        return daemon_->output();
    }

    std::vector<std::string> expected() const { return lines(readFile(dir_.file("expected"))); }
    std::size_t emissions() const {
        std::set<std::string> minutes;
        for (const std::string& row : expected()) minutes.insert(row.substr(0, 19));
        return minutes.size();
    }

    // The rows of troposphericDelay in arrival order, in the simulator's
    // text form.
    std::vector<std::string> stored() const {
        std::vector<std::string> out;
        for (const auto& r : sql::rows("SELECT data, latitude, longitude, height, latitudeErr, "
                                       "longitudeErr, heightErr, prn, elevation, td FROM "
                                       "troposphericDelay ORDER BY id",
                                       server_.socket())) {
            char buffer[512];
            std::snprintf(buffer, sizeof(buffer), "%s|%.12f|%.12f|%.5f|%.5f|%.5f|%.5f|%d|%.5f|%.2f",
                          r[0].c_str(), std::stod(r[1]), std::stod(r[2]), std::stod(r[3]),
                          std::stod(r[4]), std::stod(r[5]), std::stod(r[6]), std::stoi(r[7]),
                          std::stod(r[8]), std::stod(r[9]));
            out.push_back(buffer);
        }
        return out;
    }

    // Waits until `n` emissions were written completely and the database
    // holds exactly their rows.
    ::testing::AssertionResult allStored(std::size_t n, seconds timeout) {
        waitFor([&] { return emissions() >= n && stored().size() >= expected().size(); }, timeout);
        std::vector<std::string> want = expected(), got = stored();
        if (emissions() >= n && want == got) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << emissions() << " emissions\nexpected " << ::testing::PrintToString(want)
               << "\nstored " << ::testing::PrintToString(got) << "\n"
               << daemon_->output();
    }

    // Waits until the daemon has handled one more visibility log than
    // it had when called.
    bool nextVisibilityLog(seconds timeout) {
        std::size_t before = count(daemon_->output(), "SATVIS_LOG\n");
        return waitFor([&] { return count(daemon_->output(), "SATVIS_LOG\n") > before; }, timeout);
    }

    TempDir dir_{"ulmet-acq"};
    const std::string spool_ = dir_.file("corvana-spool.sql");
    PrivateServer server_;
    std::vector<std::string> env_;
    std::unique_ptr<ChildProcess> sim_, daemon_;
};

}  // namespace

TEST_F(Acquisition, EmissionsWithGarbageAreStoredExactly) {
    ASSERT_NO_FATAL_FAILURE(start("garbage,split,low,negative,exact30,missing"));
    EXPECT_TRUE(allStored(2, seconds(40)));
    std::string out = stopDaemon();
    for (const char* text : {"Error in [", "Query Failed", "Rows kept for the database"})
        EXPECT_EQ(out.find(text), std::string::npos) << out;
    EXPECT_EQ(count(out, "Successful query. troposphericDelay Data correctly stored.\n"),
              expected().size());
}

TEST_F(Acquisition, NoRowLostWhileTheDatabaseOrTheDaemonIsAway) {
    ASSERT_NO_FATAL_FAILURE(start("low,missing"));
    ASSERT_TRUE(allStored(1, seconds(25)));

    // The database stops; one visibility log arrives; it starts again.
    server_.stop();
    ASSERT_TRUE(nextVisibilityLog(seconds(15))) << daemon_->output();
    EXPECT_TRUE(daemon_->waitForOutput("Database unreachable: ", seconds(2)));
    EXPECT_GT(count(daemon_->output(), "\nQuery Failed\nqueryString : INSERT"), 0u);
    server_.start();
    // The kept rows go in before the next visibility log's rows.
    EXPECT_TRUE(allStored(3, seconds(30)));

    // The database stops again, and so does the daemon while rows are kept.
    std::size_t storedBefore = stored().size();
    server_.stop();
    ASSERT_TRUE(nextVisibilityLog(seconds(15))) << daemon_->output();
    std::string first = stopDaemon();
    std::size_t kept = expected().size() - storedBefore;
    ASSERT_GT(kept, 0u);
    EXPECT_EQ(count(first, "Rows kept for the database: " + std::to_string(kept) + "\n"), 1u)
        << first;
    EXPECT_EQ(lines(readFile(spool_)).size(), kept);

    // A new daemon, still without database: it takes over the kept rows
    // (after the driver's countdown), keeps the rows of its own first
    // visibility log behind them, and stores everything once the database
    // is back.
    startDaemon();
    ASSERT_TRUE(daemon_->waitForOutput(kDaqStart, seconds(70))) << daemon_->output();
    EXPECT_EQ(count(daemon_->output(), std::to_string(kept) + " rows kept by an earlier run"), 1u);
    ASSERT_TRUE(nextVisibilityLog(seconds(15))) << daemon_->output();
    EXPECT_GT(lines(readFile(spool_)).size(), kept);
    server_.start();
    EXPECT_TRUE(allStored(emissions() + 1, seconds(30)));
    std::string second = stopDaemon();
    for (const char* text : {"Error in [", "Rows kept for the database"})
        EXPECT_EQ(second.find(text), std::string::npos) << second;
    EXPECT_EQ(access(spool_.c_str(), F_OK), -1);
}
