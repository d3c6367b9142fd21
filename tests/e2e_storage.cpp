// Row storage end to end, with the database in the way: a table locked by
// another session for longer than every timeout, a table renamed away and
// back, a daemon killed at random instants of a long replay of its spool
// file, and a spool file that holds statements of somebody else's.
// Nothing may be lost, stored twice or run that the daemon did not write.
#include <sys/stat.h>

#include <fstream>
#include <random>

#include "Acquisition.h"
#include "gnssFunctions.h"

using namespace testsupport;
using namespace std::chrono;

namespace {

TEST_F(Acquisition, LockedOrRenamedTableLosesNothing) {
    ASSERT_NO_FATAL_FAILURE(start("low,missing", 4, {"--baud", "115200"}));
    ASSERT_NO_FATAL_FAILURE(allStored(1, seconds(25)));
    const std::string spool = dir_.file("corvana-spool.sql");
    sql::exec("RENAME TABLE troposphericDelay TO troposphericDelay_away", server_.socket());
    ASSERT_TRUE(nextVisibilityLog(seconds(15))) << daemon_->output();
    sql::exec("RENAME TABLE troposphericDelay_away TO troposphericDelay", server_.socket());
    ASSERT_NO_FATAL_FAILURE(allStored(emissions() + 1, seconds(30)));
    {
        // Locked for two emissions, longer than every timeout: the logs
        // are still read and parsed, their rows kept. SIGINT while the
        // daemon waits for the lock stops it in a few seconds with its
        // rows in the spool file, and the next run stores them.
        sql::Session backup(server_.socket());
        ASSERT_EQ(backup.run("LOCK TABLES troposphericDelay WRITE"), 0u);
        EXPECT_TRUE(nextVisibilityLog(seconds(40)) && nextVisibilityLog(seconds(40)))
            << daemon_->output();
        auto begin = steady_clock::now();
        stopDaemon();
        EXPECT_LT(steady_clock::now() - begin, seconds(12));
        EXPECT_GT(readFile(spool).size(), 0u);
    }
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    allStored(emissions() + 1, seconds(30));
    EXPECT_THAT(stopDaemon(), Not(HasSubstr("Error in [")));
}

// A spool of rows of a long outage, with foreign lines among them; the
// daemon is killed at random instants of its replay, again and again. The
// foreign lines are never run but moved aside; every row is stored once.
TEST_F(Acquisition, ReplayKilledAtRandomInstantsStoresEveryRowOnce) {
    const std::string spool = dir_.file("corvana-spool.sql");
    const std::vector<std::string> foreign = {"DROP TABLE troposphericDelay",
                                              "DELETE FROM troposphericDelay"};
    const std::size_t rows = 10000;
    {
        std::ofstream out(spool);
        for (std::size_t i = 0; i < rows; ++i) {
            char time[32];
            std::snprintf(time, sizeof time, "2017-01-%02zu %02zu:%02zu:00", 1 + i / 14400,
                          i / 600 % 24, i / 10 % 60);
            out << format_troposphericDelayQuery(time, 45.5, 7.25, 80.5, 1.5, 1.25, 3.0,
                                                 static_cast<int>(1 + i % 10),
                                                 30.5 + static_cast<double>(i % 50), 2.35)
                << "\n";
            if (i % 3000 == 1000) out << foreign[i / 3000 % 2] << "\n";
        }
    }
    chmod(spool.c_str(), 0600);
    ASSERT_NO_FATAL_FAILURE(start("low", 3600));
    auto storedNow = [&] {
        return sql::scalar("SELECT COUNT(*) FROM troposphericDelay WHERE data < '2018'",
                           server_.socket());
    };

    const unsigned seed = std::random_device()();
    std::mt19937 random(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    bool midReplay = false;  // some kill came while rows were still to be replayed
    for (int kill = 0; kill < 5; ++kill) {
        std::this_thread::sleep_for(milliseconds(random() % 1500));
        daemon_->signal(SIGKILL);
        ASSERT_EQ(daemon_->wait(seconds(10)), 128 + SIGKILL);
        std::size_t n = std::stoul(storedNow());
        midReplay = midReplay || (n > 0 && n < rows);
        ASSERT_NO_FATAL_FAILURE(startDaemon(58));  // the last start replays to the end
    }
    EXPECT_TRUE(midReplay);
    // (data, prn) is unique: all rows there means none lost, none twice.
    auto replayed = [&] { return storedNow() == std::to_string(rows); };
    EXPECT_TRUE(waitFor(replayed, seconds(60))) << daemon_->output();
    stopDaemon();
    std::string rejected = readFile(spool + ".rejected");
    for (const std::string& line : foreign) EXPECT_THAT(rejected, HasSubstr(line + "\n"));
    EXPECT_EQ(access(spool.c_str(), F_OK), -1);  // all stored: no spool file left
}

}  // namespace
