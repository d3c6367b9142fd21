// Acquisition end to end: the real Corvana program reads the receiver
// simulator on a pseudo-terminal and stores rows in a private MariaDB
// server; daemon and simulator share one faked clock. The rows stored must
// equal, at their stored precision and in order, the rows that the
// simulator says a correct daemon stores, also when the stream carries
// garbage and when the database (and the daemon) went away for a while.
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
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
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

// A clock offset that makes the faked clock read second `second` of its
// minute, taken just after a real second has begun.
long alignedOffset(int second) {
    auto now = system_clock::now();
    auto intoSecond = duration_cast<milliseconds>(now.time_since_epoch()) % 1000;
    std::this_thread::sleep_for(milliseconds(1020) - intoSecond);
    return offsetToSecondOfMinute(second);
}

// A private server, the simulator and the daemon in one working directory,
// under one faked clock. The simulator emits every 10 s.
class Station {
  public:
    // The server starts first (it takes a while); the clock is set after.
    explicit Station(const std::string& scenario)
        : dir_("ulmet-acq"), offset_(0), scenario_(scenario) {}
    void setClock(long offset) { offset_ = offset; }

    std::vector<std::string> env() const {
        std::vector<std::string> e = faketimeEnv(offset_);
        e.push_back("TZ=UTC");
        e.push_back("TERM=dumb");
        e.push_back("MYSQL_UNIX_PORT=" + server_.socket());
        return e;
    }

    void startSimulator() {
        std::vector<std::string> argv = {binDir() + "/receiver_sim",
                                         "--link",
                                         dir_.file("ttyRECEIVER"),
                                         "--expected-rows",
                                         dir_.file("expected"),
                                         "--interval-seconds",
                                         "10",
                                         "--seed",
                                         "7"};
        if (!scenario_.empty()) {
            argv.push_back("--scenario");
            argv.push_back(scenario_);
        }
        sim_.reset(new ChildProcess(argv, env(), dir_.path()));
        ASSERT_TRUE(sim_->waitForOutput("PTY ", seconds(10))) << sim_->output();
    }

    void startDaemon() {
        std::vector<std::string> e = env();
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
        bool ok = waitFor(
            [&] {
                return emissions() >= n && stored().size() >= expected().size() &&
                       !expected().empty();
            },
            timeout);
        std::vector<std::string> want = expected();
        std::vector<std::string> got = stored();
        if (ok && want == got) return ::testing::AssertionSuccess();
        std::ostringstream why;
        why << "emissions " << emissions() << ", expected " << want.size() << " rows, stored "
            << got.size() << "\n";
        for (std::size_t i = 0; i < std::max(want.size(), got.size()); ++i) {
            why << (i < want.size() ? want[i] : "-") << "\n  " << (i < got.size() ? got[i] : "-")
                << "\n";
        }
        return ::testing::AssertionFailure() << why.str() << "\n" << daemon_->output();
    }

    // Waits until the daemon has handled one more visibility log than
    // `before` (the count of "SATVIS_LOG" lines in its output).
    bool nextVisibilityLog(std::size_t before, seconds timeout) {
        return waitFor([&] { return count(daemon_->output(), "SATVIS_LOG\n") > before; }, timeout);
    }

    PrivateServer& server() { return server_; }
    ChildProcess& daemon() { return *daemon_; }
    std::string spoolFile() const { return dir_.file("corvana-spool.sql"); }

  private:
    TempDir dir_;
    PrivateServer server_;
    long offset_;
    std::string scenario_;
    std::unique_ptr<ChildProcess> sim_;
    std::unique_ptr<ChildProcess> daemon_;
};

class Acquisition : public ::testing::Test {
  protected:
    void SetUp() override {
        if (faketimeLibrary().empty()) GTEST_SKIP() << "libfaketime not installed";
    }
};

}  // namespace

TEST_F(Acquisition, EmissionsWithGarbageAreStoredExactly) {
    Station station("garbage,split,low,negative,exact30,missing");
    station.setClock(alignedOffset(56));
    station.startSimulator();
    station.startDaemon();
    ASSERT_TRUE(station.daemon().waitForOutput(kDaqStart, seconds(20)))
        << station.daemon().output();
    EXPECT_TRUE(station.allStored(2, seconds(40)));
    std::string out = station.stopDaemon();
    EXPECT_EQ(out.find("Error in ["), std::string::npos) << out;
    EXPECT_EQ(out.find("Query Failed"), std::string::npos) << out;
    EXPECT_EQ(out.find("Rows kept for the database"), std::string::npos) << out;
    EXPECT_EQ(count(out, "Successful query. troposphericDelay Data correctly stored.\n"),
              station.expected().size());
}

TEST_F(Acquisition, NoRowLostWhileTheDatabaseOrTheDaemonIsAway) {
    Station station("low,missing");
    station.setClock(alignedOffset(56));
    station.startSimulator();
    station.startDaemon();
    ASSERT_TRUE(station.daemon().waitForOutput(kDaqStart, seconds(20)))
        << station.daemon().output();
    ASSERT_TRUE(station.allStored(1, seconds(25)));

    // The database stops; one visibility log arrives; it starts again.
    station.server().stop();
    std::size_t seen = count(station.daemon().output(), "SATVIS_LOG\n");
    ASSERT_TRUE(station.nextVisibilityLog(seen, seconds(15))) << station.daemon().output();
    EXPECT_TRUE(station.daemon().waitForOutput("Database unreachable: ", seconds(2)));
    EXPECT_GT(count(station.daemon().output(), "\nQuery Failed\nqueryString : INSERT"), 0u);
    station.server().start();
    // The kept rows go in before the next visibility log's rows.
    EXPECT_TRUE(station.allStored(3, seconds(30)));

    // The database stops again, and so does the daemon while rows are kept.
    std::size_t storedBefore = station.stored().size();
    station.server().stop();
    seen = count(station.daemon().output(), "SATVIS_LOG\n");
    ASSERT_TRUE(station.nextVisibilityLog(seen, seconds(15))) << station.daemon().output();
    std::string first = station.stopDaemon();
    std::size_t kept = station.expected().size() - storedBefore;
    ASSERT_GT(kept, 0u);
    EXPECT_NE(first.find("Rows kept for the database: " + std::to_string(kept) + "\n"),
              std::string::npos)
        << first;
    EXPECT_EQ(lines(readFile(station.spoolFile())).size(), kept);

    // A new daemon, still without database: it takes over the kept rows,
    // keeps the rows of its own first visibility log behind them, and
    // stores everything once the database is back.
    station.startDaemon();
    // The driver hands over to the assembly after the countdown.
    ASSERT_TRUE(station.daemon().waitForOutput(kDaqStart, seconds(70)))
        << station.daemon().output();
    EXPECT_NE(station.daemon().output().find(std::to_string(kept) + " rows kept by an earlier run"),
              std::string::npos);
    ASSERT_TRUE(station.nextVisibilityLog(0, seconds(15))) << station.daemon().output();
    EXPECT_GT(lines(readFile(station.spoolFile())).size(), kept);
    station.server().start();
    EXPECT_TRUE(station.allStored(station.emissions() + 1, seconds(30)));
    std::string second = station.stopDaemon();
    EXPECT_EQ(second.find("Rows kept for the database"), std::string::npos) << second;
    EXPECT_EQ(access(station.spoolFile().c_str(), F_OK), -1);
    EXPECT_EQ(second.find("Error in ["), std::string::npos) << second;
}
