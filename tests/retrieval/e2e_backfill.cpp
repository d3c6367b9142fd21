// Missed minutes recomputed: ulmet-retrieve against a private server with
// gaps in the ipwv table. The values it stores are those that the real
// Mistrel program, run at the minute, stores; nothing is doubled, a second
// run changes nothing, and Mistrel itself treats a value already there as
// success.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>

#include "TestSupport.h"
#include "health/StationHealth.h"

using namespace testsupport;

namespace {

struct Backfill : ::testing::Test {
    // The inputs of golden/inputs.sql: six minutes from 14:01, the last
    // without humidity.
    void SetUp() override {
        std::istringstream in(readFile(sourceDir() + "/tests/retrieval/golden/inputs.sql"));
        for (std::string statement; std::getline(in, statement, ';');)
            if (statement.find("INSERT") != std::string::npos) exec(statement);
    }
    void exec(const std::string& statement) { sql::exec(statement, server_.socket()); }
    std::vector<sql::Row> ipwv() {
        return sql::rows(
            "SELECT data, ipwv_value, ipwv_sigma, elevation, prn, satellites FROM "
            "ipwv ORDER BY data, id",
            server_.socket());
    }
    // Mistrel on a clock at second 30 of `minute`: "status|output".
    std::string mistrelAt(const std::string& minute) {
        struct tm at = {};
        strptime(minute.c_str(), "%Y-%m-%d %H:%M:%S", &at);
        auto env = faketimeEnv(timegm(&at) + 30 - time(nullptr));
        env.insert(env.end(), {"TZ=UTC", "MYSQL_UNIX_PORT=" + server_.socket(),
                               "ULMET_METRICS_DIR=" + dir_.path()});
        return runToEnd({binDir() + "/Mistrel"}, env);
    }
    std::string retrieve(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {binDir() + "/ulmet-retrieve"};
        argv.insert(argv.end(), args.begin(), args.end());
        return runToEnd(argv, {"TZ=UTC", "MYSQL_UNIX_PORT=" + server_.socket()});
    }
    TempDir dir_{"ulmet-backfill"};
    PrivateServer server_;
};

TEST_F(Backfill, GapsFilledWithMistrelsValuesOnceAndASecondRunChangesNothing) {
    // What the timer's runs store, minute by minute; each run leaves its
    // metrics (the last one failed: minute 6 has no humidity). Another
    // account planted a FIFO, then a link, at the temporary file's former
    // name: the runs neither wait on it nor write through it.
    const std::string planted = dir_.file("mistrel.prom.tmp"), victim = dir_.file("victim");
    ASSERT_EQ(mkfifo(planted.c_str(), 0666), 0);
    std::ofstream(victim) << "kept\n";
    for (int m = 0; m < 6; ++m) {
        if (m == 3) {
            struct stat st = {};
            ASSERT_EQ(lstat(planted.c_str(), &st), 0);
            EXPECT_TRUE(S_ISFIFO(st.st_mode));
            std::remove(planted.c_str());
            ASSERT_EQ(symlink(victim.c_str(), planted.c_str()), 0);
        }
        const auto started = std::chrono::steady_clock::now();
        mistrelAt("2014-03-05 14:0" + std::to_string(m + 1) + ":00");
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
        auto metrics = health::readMetrics(readFile(dir_.file("mistrel.prom")));
        EXPECT_EQ(metrics["ulmet_mistrel_last_run_success"], m < 5 ? 1 : 0) << m;
        EXPECT_EQ(metrics["ulmet_database_up"], 1);
        // On the clock of the run, the last hour ends two minutes before;
        // the minutes before the first stored row are not missing, and each
        // minute since has its IPWV.
        EXPECT_EQ(metrics["ulmet_ipwv_missing_minutes_last_hour"], 0) << m;
        EXPECT_EQ(metrics["ulmet_ipwv_last_timestamp_seconds"], 1394028060 + 60 * std::min(m, 4));
    }
    EXPECT_EQ(readFile(victim), "kept\n");
    EXPECT_EQ(runToEnd({"/bin/sh", "-c", "ls " + dir_.path()}),
              "0|mistrel.prom\nmistrel.prom.tmp\nvictim\n");
    std::vector<sql::Row> reference = ipwv();
    ASSERT_EQ(reference.size(), 5u);
    // The runs of minutes 2, 4 and 5 were missed.
    exec(
        "DELETE FROM ipwv WHERE data IN ('2014-03-05 14:02:00', '2014-03-05 14:04:00', "
        "'2014-03-05 14:05:00')");

    const std::string period = "2014-03-05 14:00";
    std::string first = retrieve({"--from", period, "--to", "2014-03-05 14:10", "--verbose"});
    EXPECT_EQ(first,
              "0|2014-03-05 14:02:00: stored\n2014-03-05 14:04:00: stored\n"
              "2014-03-05 14:05:00: stored\nMinutes without IPWV from 2014-03-05 14:00:00 to "
              "2014-03-05 14:10:59: 3; stored now: 3, already stored: 0, not stored (negative or "
              "not a number): 0, failed: 0" +
                  first.substr(first.rfind(" (")));
    EXPECT_EQ(ipwv(), reference);

    std::string second = retrieve({"--from", period, "--to", "2014-03-05 14:10"});
    EXPECT_THAT(second, HasSubstr("0|Minutes without IPWV from 2014-03-05 14:00:00 to 2014-03-05 "
                                  "14:10:59: 0; stored now: 0"))
        << second;
    EXPECT_EQ(ipwv(), reference);

    // The timer's run after a backfill: the minute is there, which is success.
    std::string late = mistrelAt("2014-03-05 14:04:00");
    EXPECT_EQ(late.substr(0, 2), "0|") << late;
    EXPECT_THAT(late, HasSubstr("IPWV of 2014-03-05 14:04:00 already stored: not stored again."))
        << late;
    EXPECT_EQ(ipwv(), reference);

    // A period that is not one, and a server that is away.
    EXPECT_EQ(retrieve({"--from", "2014-03-05 14:10", "--to", period}).substr(0, 2), "2|");
    EXPECT_EQ(retrieve({"--from", "2014-02-30 14:10", "--to", period}).substr(0, 2), "2|");
    server_.stop();
    std::string away = retrieve({"--from", period, "--to", "2014-03-05 14:10"});
    EXPECT_THAT(away, HasSubstr("2|The minutes without IPWV cannot be listed: error 2002: "))
        << away;
}

}  // namespace
