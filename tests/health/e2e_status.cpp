// ulmet-status against a private server and a state directory of the
// test's own: a healthy station, then each unhealthy state it reports, with
// the line that says so and the exit status (0 ok, 1 warning, 2 critical).
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <fstream>

#include "TestSupport.h"

using namespace testsupport;

namespace {

std::string minuteText(time_t t) {
    struct tm utc;
    gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:00", &utc);
    return text;
}

struct Status : ::testing::Test {
    void SetUp() override {
        now_ = time(nullptr);
        store(70, 1);
        daemonState();
    }
    // Minutes `from` to `to` minutes ago: four satellite rows, the weather
    // and an IPWV value each.
    void store(int from, int to) {
        std::string rows, weather, ipwv;
        for (int ago = from; ago >= to; --ago) {
            std::string at = minuteText(now_ - 60 * ago);
            for (int prn : {3, 9, 17, 28})
                rows += std::string(rows.empty() ? "" : ",") + "(41.2, 16.5, 310, 1.5, 1.2, 2.5, " +
                        std::to_string(prn) + ", 55, 2.4, '" + at + "')";
            for (const char* table : {"pressure", "temperature", "humidity"})
                weather += std::string("INSERT INTO ") + table + " (" + table +
                           "_value, data) VALUES (20, '" + at.substr(0, 17) + "12');";
            ipwv += std::string(ipwv.empty() ? "" : ",") + "(1.2, 0.05, '" + at + "')";
        }
        exec(
            "INSERT INTO troposphericDelay (latitude, longitude, height, latitudeErr, "
            "longitudeErr, heightErr, prn, elevation, td, data) VALUES " +
            rows);
        for (std::string::size_type at = 0, end; (end = weather.find(';', at)) != std::string::npos;
             at = end + 1)
            exec(weather.substr(at, end - at));
        exec("INSERT INTO ipwv (ipwv_value, ipwv_sigma, data) VALUES " + ipwv);
    }
    void exec(const std::string& statement) { sql::exec(statement, server_.socket()); }
    // The daemon's state file, as a running daemon writes it: `received`
    // rows for the 60 minutes that end with the current one.
    void daemonState(long lastLogAgo = 20, int reinits = 0, int dropped = 0, double offset = 0.4,
                     int received = 236) {
        long long now = now_, minute = now / 60 * 60;
        std::ofstream(dir_.file("corvana.prom"))
            << "ulmet_corvana_state_timestamp_seconds " << now - 10 << "\n"
            << "ulmet_corvana_running 1\n"
            << "ulmet_corvana_last_valid_log_timestamp_seconds " << now - lastLogAgo << "\n"
            << "ulmet_corvana_receiver_reinitialisations_total " << reinits << "\n"
            << "ulmet_corvana_logs_dropped_total " << dropped << "\n"
            << "ulmet_corvana_rows_received_last_hour " << received << "\n"
            << "ulmet_corvana_rows_received_first_minute_timestamp_seconds " << minute - 59 * 60
            << "\n"
            << "ulmet_corvana_rows_received_last_minute_timestamp_seconds " << minute << "\n"
            << "ulmet_corvana_rows_lost_total 0\n"
            << "ulmet_corvana_clock_offset_seconds " << offset << "\n";
    }
    // "status|output"
    std::string status() {
        return runToEnd({binDir() + "/ulmet-status", "--no-units", "--state-dir", dir_.path()},
                        {"MYSQL_UNIX_PORT=" + server_.socket()});
    }
    // The line named `name`, with its advice line if any.
    static std::string line(const std::string& out, const std::string& name) {
        std::string::size_type at = out.find(" " + name + " ");
        if (at == std::string::npos) return "";
        at = out.rfind('\n', at) + 1;
        std::string::size_type end = out.find('\n', at);
        if (out.compare(end + 1, 25, std::string(25, ' ')) == 0) end = out.find('\n', end + 1);
        return out.substr(at, end - at);
    }
    time_t now_ = 0;
    TempDir dir_{"ulmet-status"};
    PrivateServer server_;
};

TEST_F(Status, HealthyThenEachFaultWithItsLineAndExitStatus) {
    std::string out = status();
    EXPECT_EQ(out.substr(0, 2), "0|") << out;
    EXPECT_EQ(count(out, "\nOK "), 9u) << out;  // every line but the first
    EXPECT_NE(out.find("240 rows stored in the last hour, 60 of 60 minutes; for the minutes " +
                       minuteText(now_ - 59 * 60).substr(11, 5) + " to " +
                       minuteText(now_).substr(11, 5) +
                       " the receiver's logs gave 236 rows, 236 are stored"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("last IPWV 1.200 cm ± 0.050 cm, "), std::string::npos) << out;
    EXPECT_NE(line(out, "clock").find("machine clock +0.4 s against the receiver's time"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("\nStation: OK\n"), std::string::npos) << out;

    // Receiver silent: critical. Then reset twice but heard: warning.
    daemonState(300);
    out = status();
    EXPECT_EQ(out.substr(0, 2), "2|") << out;
    EXPECT_NE(line(out, "receiver").find("CRITICAL receiver        last valid log 5 min ago"),
              std::string::npos)
        << out;
    EXPECT_NE(line(out, "receiver").find("-> check the receiver's power and cable"),
              std::string::npos)
        << out;
    daemonState(20, 2, 3, -12.5);
    out = status();
    EXPECT_EQ(out.substr(0, 2), "2|") << out;  // the clock
    // 20 s before the state was written; a second may pass before the run.
    const std::string receiver = line(out, "receiver");
    EXPECT_TRUE(receiver.find("WARNING  receiver        last valid log 20 s ago, "
                              "receiver set up again 2 times") != std::string::npos ||
                receiver.find("WARNING  receiver        last valid log 21 s ago, "
                              "receiver set up again 2 times") != std::string::npos)
        << out;
    EXPECT_NE(line(out, "checksums").find("WARNING"), std::string::npos) << out;
    EXPECT_NE(line(out, "clock").find("CRITICAL clock           machine clock -12.5 s"),
              std::string::npos)
        << out;
    daemonState();

    // Rows waiting in the spool (the oldest ten minutes old), lines rejected.
    std::string oldest = minuteText(now_ - 600);
    std::ofstream(dir_.file("corvana-spool.sql"))
        << "INSERT ... '" << oldest << "');\nINSERT ... '" << minuteText(now_ - 60) << "');\n";
    std::ofstream(dir_.file("corvana-spool.sql.rejected")) << "DROP TABLE ipwv;\nnonsense\n";
    out = status();
    EXPECT_EQ(out.substr(0, 2), "1|") << out;
    EXPECT_NE(line(out, "spool")
                  .find("WARNING  spool           2 rows wait in the spool, the oldest of 1"),
              std::string::npos)
        << out;
    EXPECT_NE(line(out, "rejected").find("WARNING  rejected        2 lines moved"),
              std::string::npos)
        << out;
    std::remove(dir_.file("corvana-spool.sql").c_str());
    std::remove(dir_.file("corvana-spool.sql.rejected").c_str());

    // Minutes of the last hour without IPWV, their inputs stored: how to
    // fill them. Rows missing for ten minutes.
    std::string a = minuteText(now_ - 60 * 20), b = minuteText(now_ - 60 * 17);
    exec("DELETE FROM ipwv WHERE data BETWEEN '" + a + "' AND '" + b + "'");
    exec("DELETE FROM troposphericDelay WHERE data BETWEEN '" + minuteText(now_ - 60 * 40) +
         "' AND '" + minuteText(now_ - 60 * 31) + "'");
    out = status();
    EXPECT_EQ(out.substr(0, 2), "1|") << out;
    EXPECT_NE(line(out, "ipwv minutes")
                  .find("4 minutes of the last hour without IPWV\n                         -> 4 of "
                        "them have their inputs: ulmet-retrieve --from '" +
                        a.substr(0, 16) + "' --to '" + b.substr(0, 16) + "'"),
              std::string::npos)
        << out;
    EXPECT_NE(line(out, "rows")
                  .find("WARNING  rows            200 rows stored in the last hour, "
                        "50 of 60 minutes; for the minutes "),
              std::string::npos)
        << out;

    // No daemon state; the database away.
    std::remove(dir_.file("corvana.prom").c_str());
    server_.stop();
    out = status();
    EXPECT_EQ(out.substr(0, 2), "2|") << out;
    EXPECT_NE(line(out, "receiver").find("the acquisition daemon has left no state file"),
              std::string::npos)
        << out;
    EXPECT_NE(line(out, "database")
                  .find("CRITICAL database        the database does not answer: "
                        "error 2002: "),
              std::string::npos)
        << out;
    std::string json =
        runToEnd({binDir() + "/ulmet-status", "--no-units", "--json", "--state-dir", dir_.path()},
                 {"MYSQL_UNIX_PORT=" + server_.socket()});
    EXPECT_EQ(json.substr(0, 22), "2|{\"status\":\"CRITICAL\"") << json;
    EXPECT_NE(json.find("\"database_answers\":false"), std::string::npos) << json;
}

// A station three minutes old: the minutes before its first row are not
// missing, and the receiver's count is set against the rows of its own
// minutes. Then a station half an hour old with a real gap of eight
// minutes: rows, IPWV and the receiver's count each say so.
TEST_F(Status, NewStationIsHealthyAndARealGapIsStillFlagged) {
    for (const char* table : {"troposphericDelay", "pressure", "temperature", "humidity", "ipwv"})
        exec(std::string("DELETE FROM ") + table);
    store(3, 1);
    daemonState(20, 0, 0, 0.4, 12);
    std::string out = status();
    EXPECT_EQ(out.substr(0, 2), "0|") << out;
    EXPECT_NE(out.find("\nStation: OK\n"), std::string::npos) << out;
    EXPECT_NE(line(out, "rows").find("OK       rows            "), std::string::npos) << out;
    EXPECT_NE(
        line(out, "rows").find(" since the first rows, of " + minuteText(now_ - 180).substr(0, 16)),
        std::string::npos)
        << out;
    EXPECT_NE(line(out, "rows").find("the receiver's logs gave 12 rows, 12 are stored"),
              std::string::npos)
        << out;
    EXPECT_NE(line(out, "ipwv minutes").find("0 minutes of the last hour without IPWV ("),
              std::string::npos)
        << out;

    // Started a minute ago: nothing to judge yet, still healthy.
    exec("DELETE FROM troposphericDelay WHERE data < '" + minuteText(now_ - 60) + "'");
    exec("DELETE FROM ipwv");
    daemonState(20, 0, 0, 0.4, 4);
    out = status();
    EXPECT_EQ(out.substr(0, 2), "0|") << out;
    EXPECT_NE(line(out, "ipwv").find("no IPWV stored yet, and no minute due"), std::string::npos)
        << out;

    // Half an hour old, minutes 20 to 13 ago lost, the receiver's logs
    // gave them.
    for (const char* table : {"troposphericDelay", "pressure", "temperature", "humidity", "ipwv"})
        exec(std::string("DELETE FROM ") + table);
    store(30, 1);
    exec("DELETE FROM troposphericDelay WHERE data BETWEEN '" + minuteText(now_ - 20 * 60) +
         "' AND '" + minuteText(now_ - 13 * 60) + "'");
    exec("DELETE FROM ipwv WHERE data BETWEEN '" + minuteText(now_ - 20 * 60) + "' AND '" +
         minuteText(now_ - 13 * 60) + "'");
    daemonState(20, 0, 0, 0.4, 120);
    out = status();
    EXPECT_EQ(out.substr(0, 2), "1|") << out;
    EXPECT_NE(line(out, "rows")
                  .find("WARNING  rows            84 rows stored since the first "
                        "rows, of " +
                        minuteText(now_ - 30 * 60).substr(0, 16) + ", 21 of 29 minutes"),
              std::string::npos)
        << out;
    EXPECT_NE(line(out, "rows").find("the receiver's logs gave 120 rows, 88 are stored"),
              std::string::npos)
        << out;
    EXPECT_NE(line(out, "ipwv minutes")
                  .find("WARNING  ipwv minutes    8 minutes of the last hour without IPWV (29 "
                        "since the first rows)"),
              std::string::npos)
        << out;
}

}  // namespace
