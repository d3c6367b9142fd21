#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "LogAssembly.h"
#include "TestSupport.h"

using namespace testsupport;

namespace {

std::string fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char* format, ...) {
    char buffer[4096];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    return buffer;
}

// Receiver logs as the receiver frames them: name, header, ";", body, "*",
// checksum, line end. Week 2000 starts 2018-05-06 00:00:00.
std::string bestposLog(double seconds, double lat, double lon, double h) {
    return fmt(
        "#BESTPOSA,COM1,0,55.0,FINESTEERING,2000,%.3f,02000000,b1f6,16248;SOL_COMPUTED,"
        "SINGLE,%.11f,%.11f,%.4f,47.9,WGS84,1.5000,1.2500,3.0000,\"\",0.000,0.000,18,17,"
        "17,17,00,06,30,33*c3a5c6b1\r\n",
        seconds, lat, lon, h);
}

std::string satxyz2Log(double seconds, const std::vector<std::pair<std::string, double>>& sats) {
    std::string log = fmt("#SATXYZ2A,COM1,0,55.0,FINESTEERING,2000,%.3f,02000000,0000,16248;%zu",
                          seconds, sats.size());
    for (const auto& s : sats) {
        log += fmt(",GPS,%s,-2.1e7,1.4e7,8.0e6,1.2e-4,3.1,%.3f,0,0", s.first.c_str(), s.second);
    }
    return log + "*0a1b2c3d\r\n";
}

std::string satvisLog(double seconds, const std::vector<std::pair<int, double>>& sats) {
    std::string log =
        fmt("#SATVISA,COM1,0,55.0,FINESTEERING,2000,%.3f,02000000,0000,16248;TRUE,TRUE,%zu",
            seconds, sats.size());
    for (const auto& s : sats) log += fmt(",%d,0,0,%.2f,120.0,-1234.5,-1234.6", s.first, s.second);
    return log + "*4e5f6a7b\r\n";
}

// One minute: position, satellite positions (three satellites, one of
// them GLONASS slot 3 = 40) and visibility (40 and 12 high, 7 low).
std::string minute(double seconds) {
    return bestposLog(seconds, 45.5, 7.25, 80.5) +
           satxyz2Log(seconds, {{"3+2", 2.51}, {"12", 2.347}, {"7", 2.6}}) +
           satvisLog(seconds, {{40, 45.0}, {12, -62.25}, {7, 12.0}});
}

// The stored rows in the order they arrived, as
// data|lat|lon|h|latErr|lonErr|hErr|prn|elevation|td at stored precision.
std::vector<std::string> storedRows() {
    std::vector<std::string> out;
    for (const auto& r :
         sql::rows("SELECT data, latitude, longitude, height, latitudeErr, longitudeErr, "
                   "heightErr, prn, elevation, td FROM troposphericDelay ORDER BY id")) {
        out.push_back(fmt("%s|%.12f|%.12f|%.5f|%.5f|%.5f|%.5f|%d|%.5f|%.2f", r[0].c_str(),
                          std::stod(r[1]), std::stod(r[2]), std::stod(r[3]), std::stod(r[4]),
                          std::stod(r[5]), std::stod(r[6]), std::stoi(r[7]), std::stod(r[8]),
                          std::stod(r[9])));
    }
    return out;
}

const std::vector<std::string> kMinuteRows = {
    "2018-05-06 00:01:00|45.500000000000|7.250000000000|80.50000|1.50000|1.25000|3.00000|40|"
    "45.00000|2.51",
    "2018-05-06 00:01:00|45.500000000000|7.250000000000|80.50000|1.50000|1.25000|3.00000|12|"
    "62.25000|2.35",
};

// Feeds `text` in reads of `size` bytes; returns what the passes printed.
std::string feed(LogAssembly& assembly, const std::string& text, std::size_t size) {
    StdoutCapture capture;
    if (text.empty()) assembly.pass(text);
    for (std::size_t at = 0; at < text.size(); at += size) assembly.pass(text.substr(at, size));
    return capture.text();
}

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

LogAssemblyOptions inMemory() {
    LogAssemblyOptions options;
    options.spoolPath = "";
    return options;
}

class AssemblyTest : public ::testing::Test {
  protected:
    void SetUp() override { sql::resetTables(); }
};

TEST_F(AssemblyTest, LogsOverManyReadsAreStored) {
    LogAssembly assembly(30.0, inMemory());
    for (std::size_t size : {1u, 7u, 64u}) {
        sql::resetTables();
        std::string out = feed(assembly, minute(60.0), size);
        EXPECT_EQ(storedRows(), kMinuteRows) << "reads of " << size;
        EXPECT_EQ(count(out, "Successful query. troposphericDelay Data correctly stored.\n"), 2u);
        EXPECT_EQ(count(out, "BESTPOS_LOG\n"), 1u);
        EXPECT_EQ(count(out, "SATXYZ2A\n"), 1u);
        EXPECT_EQ(count(out, "SATVIS_LOG\n"), 1u);
        EXPECT_EQ(count(out, "\n\nProcessing Data ... \n\n"), 1u);
        // What follows the last "*" stays pending.
        EXPECT_EQ(assembly.pendingText(), "4e5f6a7b\r\n");
    }
    // Nothing new: an empty read changes nothing.
    std::string out = feed(assembly, "", 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(assembly.pendingText(), "4e5f6a7b\r\n");
    EXPECT_EQ(assembly.keptRows(), 0u);
}

TEST_F(AssemblyTest, OneReadEndsALogAndStartsTheNext) {
    LogAssembly assembly(30.0, inMemory());
    std::string all = minute(60.0);
    std::string::size_type cut = all.find("*c3a5c6b1") + 40;  // well into #SATXYZ2A
    std::string out = feed(assembly, all.substr(0, cut), all.size());
    EXPECT_EQ(count(out, "BESTPOS_LOG\n"), 1u);
    EXPECT_EQ(assembly.pendingText(),
              all.substr(all.find("*c3a5c6b1") + 1, cut - all.find("*c3a5c6b1") - 1));
    EXPECT_TRUE(assembly.hasPosition());
    out = feed(assembly, all.substr(cut), all.size());
    EXPECT_EQ(count(out, "SATXYZ2A\n"), 1u);
    EXPECT_EQ(storedRows(), kMinuteRows);
}

TEST_F(AssemblyTest, EveryStarOfAReadClosesALog) {
    LogAssembly assembly(30.0, inMemory());
    // Two minutes in one read: all six logs are handled, in order.
    std::string out = feed(assembly, minute(60.0) + minute(120.0), 1 << 20);
    EXPECT_EQ(count(out, "BESTPOS_LOG\n"), 2u);
    EXPECT_EQ(count(out, "SATVIS_LOG\n"), 2u);
    std::vector<std::string> rows = storedRows();
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0], kMinuteRows[0]);
    EXPECT_EQ(rows[3].substr(0, 19), "2018-05-06 00:02:00");

    // A "*" at the very start of a read, a read of "*" only and "**".
    sql::resetTables();
    std::string log = satvisLog(180.0, {{40, 50.0}});
    std::string body = log.substr(0, log.find('*'));
    out = feed(assembly, body, 1 << 20);
    EXPECT_EQ(count(out, "SATVIS_LOG"), 0u);
    out = feed(assembly, "*", 1);
    EXPECT_EQ(count(out, "SATVIS_LOG\n"), 1u);
    EXPECT_EQ(assembly.pendingText(), "");
    out = feed(assembly, body, 1 << 20);
    out += feed(assembly, "**" + body.substr(0, 10), 1 << 20);
    EXPECT_EQ(count(out, "SATVIS_LOG\n"), 1u);  // the second "*" closes an empty text
    EXPECT_EQ(assembly.pendingText(), body.substr(0, 10));
    out = feed(assembly, body.substr(10) + "*" + body + "*", 1 << 20);
    EXPECT_EQ(count(out, "SATVIS_LOG\n"), 2u);
    EXPECT_EQ(storedRows().size(), 4u);
}

TEST_F(AssemblyTest, TextWithoutANameIsDroppedAndTheLastNameDecides) {
    LogAssembly assembly(30.0, inMemory());
    std::string out = feed(assembly, "<OK\r\n*#VERSIONA,COM1;GPSCARD,\"N\"*1234abcd\r\n", 5);
    EXPECT_EQ(count(out, "_LOG"), 0u);
    EXPECT_EQ(count(out, "SATXYZ2A"), 0u);

    // A log cut short before its "*" and followed by a whole log: the
    // whole log, the one whose name stands last, is parsed, and the cut
    // one is dropped.
    std::string vis = satvisLog(60.0, {{40, 45.0}});
    std::string pos = bestposLog(60.0, 45.5, 7.25, 80.5);
    out = feed(assembly, vis.substr(0, vis.size() / 2) + "garbage;,#;" + pos, 11);
    EXPECT_EQ(count(out, "BESTPOS_LOG\n"), 1u);
    EXPECT_EQ(count(out, "SATVIS_LOG"), 0u);
    std::string xyz = satxyz2Log(60.0, {{"3+2", 2.51}, {"12", 2.347}});
    out = feed(assembly, pos.substr(0, 50) + xyz + vis, 13);
    EXPECT_EQ(count(out, "BESTPOS_LOG"), 0u);
    EXPECT_EQ(storedRows(), (std::vector<std::string>{kMinuteRows[0]}));
}

TEST_F(AssemblyTest, NoRowsWithoutPositionOrSatellitePositions) {
    LogAssembly assembly(30.0, inMemory());
    std::string out =
        feed(assembly, satxyz2Log(0.0, {{"3+2", 2.51}}) + satvisLog(0.0, {{40, 45.0}}), 100);
    EXPECT_EQ(count(out,
                    "No position log received yet: the 1 rows of this visibility log are "
                    "not stored.\n"),
              1u);
    EXPECT_EQ(count(out, "Processing Data"), 0u);
    EXPECT_TRUE(storedRows().empty());

    // A position log that cannot be read gives no position either.
    out = feed(assembly, "#BESTPOSA,COM1,0,55.0,FINESTEERING,2000,0;SOL_COMPUTED,1,2*00\r\n", 100);
    EXPECT_FALSE(assembly.hasPosition());

    // Position, but no satellite-positions log yet: the visibility log
    // joins with an empty record and stores nothing.
    LogAssembly fresh(30.0, inMemory());
    out = feed(fresh, bestposLog(0.0, 1, 2, 3) + satvisLog(0.0, {{40, 45.0}}), 100);
    EXPECT_EQ(count(out, "\n\nProcessing Data ... \n\n"), 1u);
    EXPECT_EQ(count(out, "Successful query"), 0u);
    EXPECT_TRUE(storedRows().empty());
}

TEST_F(AssemblyTest, RejectedRowIsReportedAndNotRetried) {
    sql::exec("DROP TABLE troposphericDelay");
    LogAssemblyOptions options = inMemory();
    options.retryInterval = std::chrono::seconds(0);
    LogAssembly assembly(30.0, options);
    std::string out = feed(assembly, minute(60.0), 1 << 20);
    EXPECT_EQ(count(out, "\nQuery Failed\nqueryString : INSERT INTO troposphericDelay"), 2u);
    EXPECT_EQ(assembly.keptRows(), 0u);
    sql::resetTables();  // the table is back
    out = feed(assembly, satvisLog(120.0, {{12, 70.0}}), 1 << 20);
    EXPECT_EQ(count(out, "Query Failed"), 0u);
    std::vector<std::string> rows = storedRows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].substr(0, 19), "2018-05-06 00:02:00");
}

TEST_F(AssemblyTest, PendingTextIsBounded) {
    LogAssembly assembly(30.0, inMemory());
    std::string noise(10000, 'x');
    std::string out;
    for (int i = 0; i < 20; ++i) out += feed(assembly, noise, 4096);
    EXPECT_EQ(assembly.pendingText().size(), LogAssembly::kPendingLimit);
    EXPECT_EQ(count(out, "older pending text is dropped"), 1u);
    // The stream recovers at the next "*".
    out = feed(assembly, "*" + minute(60.0), 4096);
    EXPECT_EQ(storedRows(), kMinuteRows);
    // A single read larger than the limit keeps its newest bytes.
    out = feed(assembly, std::string(100000, 'y') + "tail", 1 << 20);
    EXPECT_EQ(assembly.pendingText().size(), LogAssembly::kPendingLimit);
    EXPECT_EQ(assembly.pendingText().substr(LogAssembly::kPendingLimit - 4), "tail");
    EXPECT_EQ(count(out, "older pending text is dropped"), 1u);
}

// A sink in front of the real database that can play an unreachable
// server.
struct Gate {
    bool open = true;
    int attempts = 0;
    StoreResult operator()(const char* statement) {
        ++attempts;
        return open ? LogAssembly::storeInDatabase(statement) : StoreResult::Unreachable;
    }
};

TEST_F(AssemblyTest, KeptRowsGoFirstAndKeepTheirOrder) {
    TempDir dir("ulmet-asm");
    Gate gate;
    LogAssemblyOptions options;
    options.spoolPath = dir.file("spool.sql");
    options.sink = [&gate](const char* s) { return gate(s); };
    options.retryInterval = std::chrono::hours(1);
    LogAssembly assembly(30.0, options);

    gate.open = false;
    std::string out = feed(assembly, minute(60.0), 1 << 20);
    // The first row fails; the second is kept without an attempt.
    EXPECT_EQ(gate.attempts, 1);
    EXPECT_EQ(count(out, "\nQuery Failed\nqueryString : "), 1u);
    EXPECT_EQ(count(out, "Database unreachable: 2 rows kept for later, 2 waiting.\n"), 1u);
    EXPECT_EQ(assembly.keptRows(), 2u);
    std::string spool = readFile(options.spoolPath);
    EXPECT_EQ(count(spool, "\n"), 2u);
    EXPECT_EQ(spool.find("INSERT INTO troposphericDelay"), 0u);

    // The next visibility log tries the oldest kept row first; it fails
    // again, so the new rows queue behind without an attempt.
    out = feed(assembly, minute(120.0), 1 << 20);
    EXPECT_EQ(gate.attempts, 2);
    EXPECT_EQ(assembly.keptRows(), 4u);
    EXPECT_EQ(count(readFile(options.spoolPath), "\n"), 4u);
    EXPECT_EQ(count(out, "Query Failed"), 1u);

    // Back again: the kept rows are stored first, then the new ones.
    gate.open = true;
    out = feed(assembly, minute(180.0), 1 << 20);
    EXPECT_EQ(assembly.keptRows(), 0u);
    EXPECT_EQ(count(out, "Kept rows sent: 4, still kept: 0.\n"), 1u);
    std::vector<std::string> rows = storedRows();
    ASSERT_EQ(rows.size(), 6u);
    const char* minutes[] = {"00:01:00", "00:01:00", "00:02:00",
                             "00:02:00", "00:03:00", "00:03:00"};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(rows[i].substr(11, 8), minutes[i]) << i;
    EXPECT_EQ(rows[0], kMinuteRows[0]);
    EXPECT_EQ(access(options.spoolPath.c_str(), F_OK), -1);  // the file is gone when empty
}

TEST_F(AssemblyTest, KeptRowsAreRetriedOnTheirOwnAndBounded) {
    Gate gate;
    LogAssemblyOptions options = inMemory();
    options.sink = [&gate](const char* s) { return gate(s); };
    options.retryInterval = std::chrono::milliseconds(200);
    options.spoolLimit = 3;
    LogAssembly assembly(30.0, options);
    gate.open = false;
    std::string out =
        feed(assembly, minute(60.0) + satvisLog(120.0, {{40, 45.0}, {12, 60.0}}), 1 << 20);
    EXPECT_EQ(assembly.keptRows(), 3u);
    EXPECT_EQ(count(out, "Kept rows over the limit of 3: the oldest one is dropped: INSERT"), 1u);
    // Passes without any log retry the kept rows once the interval is over.
    int before = gate.attempts;
    feed(assembly, "", 1);
    EXPECT_EQ(gate.attempts, before);
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    gate.open = true;
    out = feed(assembly, "", 1);
    EXPECT_EQ(assembly.keptRows(), 0u);
    EXPECT_EQ(storedRows().size(), 3u);
}

// The statements of the spool file of `dir`, one per line.
std::vector<std::string> spoolLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Run as a child process with MYSQL_UNIX_PORT naming a socket where
// nothing listens, in the directory given: the daemon's real storage path
// with an unreachable server.
TEST(AssemblyOffline, ChildKeepsRowsInTheSpool) {
    if (std::getenv("ULMET_ASM_OFFLINE_CHILD") == nullptr) GTEST_SKIP() << "child part only";
    LogAssembly assembly(30.0);
    assembly.start();
    std::string out = feed(assembly, minute(60.0) + minute(120.0), 50);
    EXPECT_EQ(assembly.keptRows(), 4u);
    EXPECT_EQ(count(out, "Query Failed"), 2u);
    EXPECT_EQ(spoolLines("corvana-spool.sql").size(), 4u);
}

TEST_F(AssemblyTest, SpoolSurvivesARestart) {
    TempDir dir("ulmet-asm");
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    ChildProcess child(
        {self, "--gtest_filter=AssemblyOffline.ChildKeepsRowsInTheSpool"},
        {"ULMET_ASM_OFFLINE_CHILD=1", "MYSQL_UNIX_PORT=" + dir.file("nothing-listens.sock")},
        dir.path());
    ASSERT_EQ(child.wait(std::chrono::seconds(60)), 0) << child.output();
    std::string spoolPath = dir.file("corvana-spool.sql");
    std::vector<std::string> kept = spoolLines(spoolPath);
    ASSERT_EQ(kept.size(), 4u);
    EXPECT_NE(kept[0].find("'2018-05-06 00:01:00'"), std::string::npos);
    EXPECT_NE(kept[3].find("'2018-05-06 00:02:00'"), std::string::npos);

    // A cut last line (a write that did not finish) and a blank line are
    // ignored.
    {
        std::ofstream append(spoolPath, std::ios::app);
        append << "\nINSERT INTO troposphericDelay (lat";
    }
    LogAssemblyOptions options;
    options.spoolPath = spoolPath;
    LogAssembly assembly(30.0, options);
    StdoutCapture capture;
    assembly.start();
    std::string out = capture.text();
    EXPECT_EQ(count(out, "4 rows kept by an earlier run"), 1u);
    EXPECT_EQ(count(out, "an incomplete last line is ignored"), 1u);
    EXPECT_EQ(assembly.keptRows(), 0u);
    std::vector<std::string> rows = storedRows();
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0], kMinuteRows[0]);
    EXPECT_EQ(rows[1], kMinuteRows[1]);
    EXPECT_EQ(rows[3].substr(0, 19), "2018-05-06 00:02:00");
    EXPECT_EQ(access(spoolPath.c_str(), F_OK), -1);
}

}  // namespace
