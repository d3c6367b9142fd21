// ulmet-status against a private server and a state directory of the
// test's own, on a clock stopped at 2026-03-01 12:00:30 UTC: what it reports
// of a healthy station, of one with a fault in every figure it collects and
// of new ones, and its exit status (0 ok, 1 warning, 2 critical), against
// golden files. Only the free disk space and the client library's words for
// a server that is away vary from run to run: they are replaced by "N" and
// "...". The judgement of each figure is tested in test_health.
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <regex>

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
    // Minutes `from` to `to` minutes ago: four satellite rows, the weather
    // and an IPWV value each.
    void store(int from, int to) {
        std::string rows, weather, ipwv;
        for (int ago = from; ago >= to; --ago) {
            const std::string at = minuteText(now_ - 60 * ago), sep = ago == from ? "" : ",";
            for (int prn : {3, 9, 17, 28})
                rows += std::string(rows.empty() ? "" : ",") + "(41.2, 16.5, 310, 1.5, 1.2, 2.5, " +
                        std::to_string(prn) + ", 55, 2.4, '" + at + "')";
            weather += sep + "(20, '" + at.substr(0, 17) + "12')";
            ipwv += sep + "(1.2, 0.05, '" + at + "')";
        }
        exec(
            "INSERT INTO troposphericDelay (latitude, longitude, height, latitudeErr, "
            "longitudeErr, heightErr, prn, elevation, td, data) VALUES " +
            rows);
        for (const std::string table : {"pressure", "temperature", "humidity"})
            exec("INSERT INTO " + table + " (" + table + "_value, data) VALUES " + weather);
        exec("INSERT INTO ipwv (ipwv_value, ipwv_sigma, data) VALUES " + ipwv);
    }
    void exec(const std::string& statement) { sql::exec(statement, server_.socket()); }
    // Deletes the rows of `table` from `from` to `to` minutes ago.
    void drop(const std::string& table, int from, int to) {
        exec("DELETE FROM " + table + " WHERE data BETWEEN '" + minuteText(now_ - 60 * from) +
             "' AND '" + minuteText(now_ - 60 * to) + "'");
    }
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
    // Appends "== title", then "status|output" of ulmet-status (`args`
    // added) to the transcript.
    void status(const std::string& title, const std::vector<std::string>& args = {}) {
        std::vector<std::string> argv = {binDir() + "/ulmet-status", "--no-units", "--state-dir",
                                         dir_.path()};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> env = faketimeEnv(0);
        for (std::string& e : env)
            if (e.rfind("FAKETIME=", 0) == 0) e = "FAKETIME=2026-03-01 12:00:30";
        env.push_back("MYSQL_UNIX_PORT=" + server_.socket());
        std::string out = runToEnd(argv, env);
        out = std::regex_replace(out, std::regex("\\d+ MB free \\(\\d+ %\\)"), "N MB free (N %)");
        out = std::regex_replace(out, std::regex("\"free_bytes\":\\d+"), "\"free_bytes\":N");
        out = std::regex_replace(out, std::regex("(error 2002: )[^\n\"]*"), "$1...");
        transcript_ += "== " + title + "\n" + out + "\n";
    }
    const time_t now_ = 1772366430;  // 2026-03-01 12:00:30 UTC
    std::string transcript_;
    TempDir dir_{"ulmet-status"};
    PrivateServer server_;
};

// A station three minutes old: the minutes before its first row are not
// missing, and the receiver's count is set against the rows of its own
// minutes. Then one started a minute ago, with nothing to judge yet. Then a
// station half an hour old with a real gap of eight minutes: rows, IPWV and
// the receiver's count each say so.
TEST_F(Status, NewStationsThenAHealthyOneThenAFaultInEachFigureCollected) {
    store(3, 1);
    daemonState(20, 0, 0, 0.4, 12);
    status("three minutes old");

    exec("DELETE FROM troposphericDelay WHERE data < '" + minuteText(now_ - 60) + "'");
    exec("DELETE FROM ipwv");
    daemonState(20, 0, 0, 0.4, 4);
    status("a minute old");

    sql::resetTables(server_.socket());
    store(30, 1);
    drop("troposphericDelay", 20, 13);
    drop("ipwv", 20, 13);
    daemonState(20, 0, 0, 0.4, 120);
    status("half an hour old, minutes 20 to 13 ago lost");
    expectGolden("health/golden/status-new-station.txt", transcript_);

    // A station running for more than an hour.
    transcript_.clear();
    sql::resetTables(server_.socket());
    store(70, 1);
    daemonState();
    status("healthy");
    status("healthy, as JSON", {"--json"});

    // The daemon's account: receiver set up again, logs dropped, the clock
    // off. Rows waiting in the spool (the oldest ten minutes old), lines
    // rejected. Minutes without IPWV whose inputs are stored (how to fill
    // them), rows missing for ten minutes.
    daemonState(20, 2, 3, -12.5);
    std::ofstream(dir_.file("corvana-spool.sql"))
        << "INSERT ... '" << minuteText(now_ - 600) << "');\nINSERT ... '" << minuteText(now_ - 60)
        << "');\n";
    std::ofstream(dir_.file("corvana-spool.sql.rejected")) << "DROP TABLE ipwv;\nnonsense\n";
    drop("ipwv", 20, 17);
    drop("troposphericDelay", 40, 31);
    status("faults");

    // No daemon state; the database away.
    std::remove(dir_.file("corvana.prom").c_str());
    server_.stop();
    status("no daemon state, database away");
    status("no daemon state, database away, as JSON", {"--json"});
    expectGolden("health/golden/status-faults.txt", transcript_);
}

}  // namespace
