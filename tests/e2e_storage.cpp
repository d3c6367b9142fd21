// Row storage end to end, with the database in the way: a table locked by
// another session for longer than every timeout, a table renamed away and
// back, a daemon killed at random instants of a long replay of its spool
// file, and a spool file that holds statements of somebody else's.
// Nothing may be lost, stored twice or run that the daemon did not write.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
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
    {
        // Locked for two emissions, longer than every timeout: the logs
        // are still read and parsed, their rows kept.
        sql::Session backup(server_.socket());
        ASSERT_EQ(backup.run("LOCK TABLES troposphericDelay WRITE"), 0u);
        std::size_t before = count(daemon_->output(), "SATVIS_LOG\n");
        EXPECT_TRUE(waitFor([&] { return count(daemon_->output(), "SATVIS_LOG\n") >= before + 2; },
                            seconds(40)))
            << daemon_->output();
        EXPECT_GT(readFile(spool).size(), 0u);
    }
    ASSERT_NO_FATAL_FAILURE(allStored(emissions() + 1, seconds(30)));

    sql::exec("RENAME TABLE troposphericDelay TO troposphericDelay_away", server_.socket());
    ASSERT_TRUE(nextVisibilityLog(seconds(15))) << daemon_->output();
    sql::exec("RENAME TABLE troposphericDelay_away TO troposphericDelay", server_.socket());
    ASSERT_NO_FATAL_FAILURE(allStored(emissions() + 1, seconds(30)));

    {
        // SIGINT while the daemon waits for the lock: it stops in a few
        // seconds with its rows in the spool file, and the next run stores them.
        sql::Session backup(server_.socket());
        ASSERT_EQ(backup.run("LOCK TABLES troposphericDelay WRITE"), 0u);
        ASSERT_TRUE(nextVisibilityLog(seconds(15))) << daemon_->output();
        auto begin = steady_clock::now();
        stopDaemon();
        EXPECT_LT(steady_clock::now() - begin, seconds(12));
        EXPECT_GT(readFile(spool).size(), 0u);
    }
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    allStored(emissions() + 1, seconds(30));
    EXPECT_EQ(stopDaemon().find("Error in ["), std::string::npos);
}

// A spool of rows of a long outage, with foreign lines among them; the
// daemon is killed at random instants of its replay, again and again. The
// foreign lines are never run but moved aside; every row is stored once.
TEST_F(Acquisition, ReplayKilledAtRandomInstantsStoresEveryRowOnce) {
    const std::string spool = dir_.file("corvana-spool.sql");
    const std::vector<std::string> foreign = {"DROP TABLE troposphericDelay",
                                              "DELETE FROM troposphericDelay"};
    std::vector<std::string> rows;
    {
        std::ofstream out(spool);
        for (int i = 0; i < 10000; ++i) {
            char time[32], text[256];
            std::snprintf(time, sizeof time, "2017-01-%02d %02d:%02d:00", 1 + i / 14400,
                          i / 600 % 24, i / 10 % 60);
            int prn = 1 + i % 10;
            double elevation = 30.5 + i % 50;
            out << format_troposphericDelayQuery(time, 45.5, 7.25, 80.5, 1.5, 1.25, 3.0, prn,
                                                 elevation, 2.35)
                << "\n";
            std::snprintf(text, sizeof text, "%s|%.12f|%.12f|%.5f|%.5f|%.5f|%.5f|%d|%.5f|%.2f",
                          time, 45.5, 7.25, 80.5, 1.5, 1.25, 3.0, prn, elevation, 2.35);
            rows.push_back(text);
            if (i % 3000 == 1000) out << foreign[i / 3000 % 2] << "\n";
        }
    }
    chmod(spool.c_str(), 0600);
    ASSERT_NO_FATAL_FAILURE(start("low", 3600));
    auto storedNow = [&] {
        return sql::scalar("SELECT COUNT(*) FROM troposphericDelay WHERE data < '2018'",
                           server_.socket());
    };

    std::random_device device;
    const unsigned seed = device();
    std::mt19937 random(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    bool midReplay = false;  // some kill came while rows were still to be replayed
    for (int kill = 0; kill < 5; ++kill) {
        if (kill > 0) {
            ASSERT_NO_FATAL_FAILURE(startDaemon(58));
        }
        std::this_thread::sleep_for(milliseconds(random() % 1500));
        daemon_->signal(SIGKILL);
        ASSERT_EQ(daemon_->wait(seconds(10)), 128 + SIGKILL);
        std::size_t n = std::stoul(storedNow());
        std::printf("killed: %zu rows of the spool stored\n", n);
        midReplay = midReplay || (n > 0 && n < rows.size());
    }
    EXPECT_TRUE(midReplay);
    ASSERT_NO_FATAL_FAILURE(startDaemon(58));
    auto replayed = [&] { return storedNow() == std::to_string(rows.size()); };
    EXPECT_TRUE(waitFor(replayed, seconds(60))) << daemon_->output();
    stopDaemon();

    std::vector<std::string> stored = this->stored();
    stored.erase(std::remove_if(stored.begin(), stored.end(),
                                [](const std::string& r) { return r.compare(0, 4, "2017") != 0; }),
                 stored.end());
    std::sort(stored.begin(), stored.end());
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(stored, rows);
    std::string rejected = readFile(spool + ".rejected");
    for (const std::string& line : foreign)
        EXPECT_NE(rejected.find(line + "\n"), std::string::npos);
    EXPECT_EQ(access(spool.c_str(), F_OK), -1);  // all stored: no spool file left
}

}  // namespace
