#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "LogAssembly.h"
#include "TestSupport.h"

using namespace testsupport;
using Rows = std::vector<std::string>;

namespace {

// Receiver logs as the receiver frames them: name, header, ";", body, "*",
// checksum, line end. Week 2000 starts 2018-05-06 00:00:00.
std::string frame(const char* name, double seconds, const std::string& body) {
    return std::string("#") + name + ",PORT1,0,55.0,FINECLOCK,2000," + std::to_string(seconds) +
           ",02000000,b1f6,16248;" + body + "*4e5f6a7b\r\n";
}

std::string bestposLog(double seconds) {
    return frame("BESTPOSA", seconds,
                 "SOLVED,SINGLE,45.50000000000,7.25000000000,80.5000,47.9,WGS84,1.5000,"
                 "1.2500,3.0000,\"\",0.000,0.000,18,17,17,17,00,06,30,33");
}

// Satellite positions of GLONASS slot 3 (= 40), 12 and 7.
std::string satxyz2Log(double seconds) {
    std::string body = "3";
    for (const char* s : {"3+2,1,2,3,4,5,2.51", "12,1,2,3,4,5,2.347", "7,1,2,3,4,5,2.6"})
        body += std::string(",GPS,") + s + ",0,0";
    return frame("SATXYZ2A", seconds, body);
}

std::string satvisLog(double seconds, const std::vector<std::pair<int, double>>& sats) {
    std::string body = "TRUE,TRUE," + std::to_string(sats.size());
    for (const auto& [prn, elevation] : sats)
        body +=
            "," + std::to_string(prn) + ",0,0," + std::to_string(elevation) + ",120.0,-1234.5,0";
    return frame("SATVISA", seconds, body);
}

// One minute: position, satellite positions and visibility (40 and 12
// high, 7 low).
std::string minute(double seconds) {
    return bestposLog(seconds) + satxyz2Log(seconds) +
           satvisLog(seconds, {{40, 45.0}, {12, -62.25}, {7, 12.0}});
}

// The two rows that minute(60 * m) stores, for each m in turn.
Rows rowsOf(std::vector<int> minutes) {
    Rows rows;
    for (int m : minutes) {
        std::string time = "2018-05-06 00:0" + std::to_string(m) + ":00";
        rows.push_back(time + "|45.5|7.25|80.5|1.5|1.25|3|40|45|2.51");
        rows.push_back(time + "|45.5|7.25|80.5|1.5|1.25|3|12|62.25|2.35");
    }
    return rows;
}

// The stored rows in the order they arrived.
Rows storedRows() {
    Rows out;
    for (const auto& r : sql::rows("SELECT CONCAT_WS('|', data, latitude, longitude, height, "
                                   "latitudeErr, longitudeErr, heightErr, prn, elevation, td) "
                                   "FROM troposphericDelay ORDER BY id"))
        out.push_back(r[0]);
    return out;
}

// Feeds `text` in reads of `size` bytes; returns what the passes printed.
std::string feed(LogAssembly& assembly, const std::string& text, std::size_t size = 1 << 20) {
    StdoutCapture capture;
    if (text.empty()) assembly.pass(text);
    for (std::size_t at = 0; at < text.size(); at += size) assembly.pass(text.substr(at, size));
    return capture.text();
}

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

LogAssemblyOptions options(RowSink sink = {}, const std::string& spool = "",
                           std::chrono::steady_clock::duration retry = std::chrono::seconds(60)) {
    LogAssemblyOptions o;
    o.sink = sink;
    o.spoolPath = spool;
    o.retryInterval = retry;
    return o;
}

// The real database behind a switch that can play an unreachable server.
struct Gate {
    bool open = false;
    int attempts = 0;
    RowSink sink() {
        return [this](const char* s) {
            ++attempts;
            return open ? LogAssembly::storeInDatabase(s) : StoreResult::Unreachable;
        };
    }
};

class AssemblyTest : public ::testing::Test {
  protected:
    void SetUp() override { sql::resetTables(); }
    LogAssembly assembly{30.0, options()};  // kept rows in memory only
};

TEST_F(AssemblyTest, LogsOverManyReadsAreStored) {
    for (std::size_t size : {1u, 7u, 64u}) {
        SCOPED_TRACE(size);
        sql::resetTables();
        std::string out = feed(assembly, minute(60.0), size);
        EXPECT_EQ(storedRows(), rowsOf({1}));
        EXPECT_EQ(count(out, "Successful query. troposphericDelay Data correctly stored.\n"), 2u);
        for (const char* line :
             {"BESTPOS_LOG\n", "SATXYZ2A\n", "SATVIS_LOG\n", "\n\nProcessing Data ... \n\n"})
            EXPECT_EQ(count(out, line), 1u) << line;
        EXPECT_EQ(assembly.pendingText(), "4e5f6a7b\r\n");  // what follows the last "*"
    }
    EXPECT_EQ(feed(assembly, "", 1), "");  // an empty read changes nothing
    EXPECT_EQ(assembly.pendingText(), "4e5f6a7b\r\n");
    EXPECT_EQ(assembly.keptRows(), 0u);
}

TEST_F(AssemblyTest, EveryStarOfAReadClosesALog) {
    // One read ends a log and starts the next.
    std::string all = minute(60.0);
    std::size_t star = all.find('*'), cut = star + 40;  // well into #SATXYZ2A
    EXPECT_EQ(count(feed(assembly, all.substr(0, cut)), "BESTPOS_LOG\n"), 1u);
    EXPECT_EQ(assembly.pendingText(), all.substr(star + 1, cut - star - 1));
    EXPECT_TRUE(assembly.hasPosition());
    EXPECT_EQ(count(feed(assembly, all.substr(cut)), "SATXYZ2A\n"), 1u);
    EXPECT_EQ(storedRows(), rowsOf({1}));

    // Two minutes in one read: all six logs are handled, in order.
    std::string out = feed(assembly, minute(120.0) + minute(180.0));
    EXPECT_EQ(count(out, "BESTPOS_LOG\n"), 2u);
    EXPECT_EQ(count(out, "SATVIS_LOG\n"), 2u);
    EXPECT_EQ(storedRows(), rowsOf({1, 2, 3}));

    // A "*" at the very start of a read, a read of "*" only and "**".
    sql::resetTables();
    std::string body = satvisLog(180.0, {{40, 50.0}});
    body.resize(body.find('*'));
    EXPECT_EQ(count(feed(assembly, body), "SATVIS_LOG"), 0u);
    EXPECT_EQ(count(feed(assembly, "*"), "SATVIS_LOG\n"), 1u);
    EXPECT_EQ(assembly.pendingText(), "");
    out = feed(assembly, body);
    out += feed(assembly, "**" + body.substr(0, 10));
    EXPECT_EQ(count(out, "SATVIS_LOG\n"), 1u);  // the second "*" closes an empty text
    EXPECT_EQ(assembly.pendingText(), body.substr(0, 10));
    EXPECT_EQ(count(feed(assembly, body.substr(10) + "*" + body + "*"), "SATVIS_LOG\n"), 2u);
    EXPECT_EQ(storedRows().size(), 4u);
}

TEST_F(AssemblyTest, TextWithoutANameIsDroppedAndTheLastNameDecides) {
    std::string out = feed(assembly, "<OK\r\n*#VERSIONA,PORT1;GNSSBOARD,\"N\"*1234abcd\r\n", 5);
    EXPECT_EQ(count(out, "_LOG") + count(out, "SATXYZ2A"), 0u);

    // A log cut short before its "*" and followed by a whole log: the one
    // whose name stands last is parsed, the cut one dropped.
    std::string vis = satvisLog(60.0, {{40, 45.0}});
    out = feed(assembly, vis.substr(0, vis.size() / 2) + "garbage;,#;" + bestposLog(60.0), 11);
    EXPECT_EQ(count(out, "BESTPOS_LOG\n"), 1u);
    EXPECT_EQ(count(out, "SATVIS_LOG"), 0u);
    out = feed(assembly, bestposLog(60.0).substr(0, 50) + satxyz2Log(60.0) + vis, 13);
    EXPECT_EQ(count(out, "BESTPOS_LOG"), 0u);
    EXPECT_EQ(storedRows(), Rows{rowsOf({1})[0]});
}

TEST_F(AssemblyTest, NoRowsWithoutPositionOrSatellitePositions) {
    std::string out = feed(assembly, satxyz2Log(0.0) + satvisLog(0.0, {{40, 45.0}}));
    EXPECT_EQ(count(out,
                    "No position log received yet: the 1 rows of this visibility log are "
                    "not stored.\n"),
              1u);
    EXPECT_EQ(count(out, "Processing Data"), 0u);
    // A position log that cannot be read gives no position either.
    feed(assembly, "#BESTPOSA,PORT1,0,55.0,FINECLOCK,2000,0;SOLVED,1,2*00\r\n");
    EXPECT_FALSE(assembly.hasPosition());

    // Position, but no satellite-positions log yet: nothing to store.
    LogAssembly fresh(30.0, options());
    out = feed(fresh, bestposLog(0.0) + satvisLog(0.0, {{40, 45.0}}));
    EXPECT_EQ(count(out, "\n\nProcessing Data ... \n\n"), 1u);
    EXPECT_EQ(count(out, "Successful query"), 0u);
    EXPECT_TRUE(storedRows().empty());
}

TEST_F(AssemblyTest, RejectedRowIsReportedAndNotRetried) {
    sql::exec("DROP TABLE troposphericDelay");
    LogAssembly noRetry(30.0, options({}, "", std::chrono::seconds(0)));
    std::string out = feed(noRetry, minute(60.0));
    EXPECT_EQ(count(out, "\nQuery Failed\nqueryString : INSERT INTO troposphericDelay"), 2u);
    EXPECT_EQ(noRetry.keptRows(), 0u);
    sql::resetTables();  // the table is back
    EXPECT_EQ(count(feed(noRetry, satvisLog(120.0, {{12, 70.0}})), "Query Failed"), 0u);
    EXPECT_EQ(storedRows(), Rows{"2018-05-06 00:02:00|45.5|7.25|80.5|1.5|1.25|3|12|70|2.35"});
}

TEST_F(AssemblyTest, PendingTextIsBounded) {
    std::string out;
    for (int i = 0; i < 20; ++i) out += feed(assembly, std::string(10000, 'x'), 4096);
    EXPECT_EQ(assembly.pendingText().size(), LogAssembly::kPendingLimit);
    EXPECT_EQ(count(out, "older pending text is dropped"), 1u);
    feed(assembly, "*" + minute(60.0), 4096);  // the stream recovers at the next "*"
    EXPECT_EQ(storedRows(), rowsOf({1}));
    // A single read larger than the limit keeps its newest bytes.
    out = feed(assembly, std::string(100000, 'y') + "tail");
    EXPECT_EQ(assembly.pendingText().size(), LogAssembly::kPendingLimit);
    EXPECT_EQ(assembly.pendingText().substr(LogAssembly::kPendingLimit - 4), "tail");
    EXPECT_EQ(count(out, "older pending text is dropped"), 1u);
}

TEST_F(AssemblyTest, KeptRowsAreRetriedOnTheirOwnAndBounded) {
    Gate gate;
    LogAssemblyOptions bounded = options(gate.sink(), "", std::chrono::milliseconds(200));
    bounded.spoolLimit = 3;
    LogAssembly gated(30.0, bounded);
    std::string out = feed(gated, minute(60.0) + satvisLog(120.0, {{40, 45.0}, {12, 60.0}}));
    EXPECT_EQ(gated.keptRows(), 3u);
    EXPECT_EQ(count(out, "Kept rows over the limit of 3: the oldest one is dropped: INSERT"), 1u);
    // Passes without any log retry the kept rows once the interval is over.
    int before = gate.attempts;
    feed(gated, "");
    EXPECT_EQ(gate.attempts, before);
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    gate.open = true;
    feed(gated, "");
    EXPECT_EQ(gated.keptRows(), 0u);
    EXPECT_EQ(storedRows().size(), 3u);
}

// Run as a child process in a directory of its own, with MYSQL_UNIX_PORT
// naming a socket where nothing listens: the real storage path without a
// server. The first row of a visibility log fails; the rest queue behind it
// without an attempt.
TEST(AssemblyOffline, ChildKeepsRowsInTheSpool) {
    if (std::getenv("ULMET_ASM_OFFLINE_CHILD") == nullptr) GTEST_SKIP() << "child part only";
    LogAssembly assembly(30.0);
    assembly.start();
    std::string out = feed(assembly, minute(60.0) + minute(120.0), 50);
    EXPECT_EQ(count(out, "\nQuery Failed\nqueryString : INSERT INTO troposphericDelay"), 2u);
    EXPECT_EQ(count(out, "Database unreachable: 2 rows kept for later, 2 waiting.\n"), 1u);
    EXPECT_EQ(count(out, "Database unreachable: 2 rows kept for later, 4 waiting.\n"), 1u);
    EXPECT_EQ(assembly.keptRows(), 4u);
}

TEST_F(AssemblyTest, KeptRowsSurviveARestartGoFirstAndKeepTheirOrder) {
    TempDir dir("ulmet-asm");
    ChildProcess child(
        {"/proc/self/exe", "--gtest_filter=AssemblyOffline.*"},
        {"ULMET_ASM_OFFLINE_CHILD=1", "MYSQL_UNIX_PORT=" + dir.file("nothing-listens.sock")},
        dir.path());
    ASSERT_EQ(child.wait(std::chrono::seconds(60)), 0) << child.output();
    std::string spool = dir.file("corvana-spool.sql");
    ASSERT_EQ(count(readFile(spool), "\n"), 4u);
    EXPECT_EQ(readFile(spool).find("INSERT INTO troposphericDelay"), 0u);

    // A new run takes the rows over; a cut last line (a write that did not
    // finish) and a blank line are ignored. The database is still away.
    std::ofstream(spool, std::ios::app) << "\nINSERT INTO troposphericDelay (lat";
    Gate gate;
    LogAssembly restarted(30.0, options(gate.sink(), spool, std::chrono::hours(1)));
    std::string out = feed(restarted, "");
    EXPECT_EQ(count(out, "4 rows kept by an earlier run"), 1u);
    EXPECT_EQ(count(out, "an incomplete last line is ignored"), 1u);
    EXPECT_EQ(gate.attempts, 1);
    // The next visibility log tries the oldest kept row first; it fails
    // again, so the new rows queue behind without an attempt.
    feed(restarted, minute(180.0));
    EXPECT_EQ(gate.attempts, 2);
    EXPECT_EQ(restarted.keptRows(), 6u);
    EXPECT_EQ(count(readFile(spool), "\n"), 6u);

    // Back again: the kept rows are stored first, then the new ones.
    gate.open = true;
    out = feed(restarted, minute(240.0));
    EXPECT_EQ(count(out, "Kept rows sent: 6, still kept: 0.\n"), 1u);
    EXPECT_EQ(restarted.keptRows(), 0u);
    EXPECT_EQ(storedRows(), rowsOf({1, 2, 3, 4}));
    EXPECT_EQ(access(spool.c_str(), F_OK), -1);  // the file is gone when empty
}

}  // namespace
