#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "LogAssembly.h"
#include "TestSupport.h"

using namespace testsupport;
using Rows = std::vector<std::string>;

namespace {

// Receiver logs as the receiver frames them. Week 2000 starts 2018-05-06 00:00:00.
std::string frame(const char* name, double seconds, const std::string& body) {
    return std::string("#") + name + ",PORT1,0,55.0,FINECLOCK,2000," + std::to_string(seconds) +
           ",02000000,b1f6,16248;" + body + "*4e5f6a7b\r\n";
}

const char* kBestpos =
    "SOLVED,SINGLE,45.50000000000,7.25000000000,80.5000,47.9,WGS84,1.5000,1.2500,3.0000,\"\","
    "0.000,0.000,18,17,17,17,00,06,30,33";
// Satellite positions of GLONASS slot 3 (= 40), 12 and 7.
const char* kXyz =
    "3,GPS,3+2,1,2,3,4,5,2.51,0,0,GPS,12,1,2,3,4,5,2.347,0,0,GPS,7,1,2,3,4,5,2.6,0,0";

// Visibility of 40 alone, high.
const char* kVis = "TRUE,TRUE,1,40,0,0,45,120,-1234.5,0";

// One minute: position, satellite positions and visibility (40 and 12 high, 7 low).
std::string minute(double seconds) {
    return frame("BESTPOSA", seconds, kBestpos) + frame("SATXYZ2A", seconds, kXyz) +
           frame("SATVISA", seconds,
                 "TRUE,TRUE,3,40,0,0,45,120,-1234.5,0,12,0,0,-62.25,120,-1234.5,0,7,0,0,12,120,"
                 "-1234.5,0");
}

// The two rows that minute(60 * m) stores, for each m in turn.
Rows rowsOf(std::vector<int> minutes) {
    Rows rows;
    for (int m : minutes) {
        std::string time = "2018-05-06 00:0" + std::to_string(m) + ":00|45.5|7.25|80.5|1.5|1.25|3|";
        rows.insert(rows.end(), {time + "40|45|2.51", time + "12|62.25|2.35"});
    }
    return rows;
}

// The stored rows, whole, in the order they arrived.
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
    for (std::size_t at = 0; at < text.size(); at += size) assembly.pass(text.substr(at, size));
    return capture.text();
}

class AssemblyTest : public ::testing::Test {
  protected:
    void SetUp() override { sql::resetTables(); }
    LogAssembly assembly{30.0, {{}, ""}};  // kept rows in memory only
};

TEST_F(AssemblyTest, LogsAcrossReadsAndSeveralStarsInOneRead) {
    feed(assembly, minute(60.0), 1);  // a byte per read
    std::string two = minute(120.0);
    std::size_t star = two.find('*'), cut = star + 40;  // a read ends a log and starts the next
    feed(assembly, two.substr(0, cut));
    EXPECT_EQ(assembly.pendingText(), two.substr(star + 1, cut - star - 1));
    feed(assembly, two.substr(cut));
    feed(assembly, minute(180.0) + minute(240.0));  // six logs in one read
    EXPECT_EQ(storedRows(), rowsOf({1, 2, 3, 4}));
}

TEST_F(AssemblyTest, TextWithoutANameIsDroppedAndTheLastNameDecides) {
    std::string out = feed(assembly, "<OK\r\n*#VERSIONA,PORT1;GNSSBOARD,\"N\"*1234abcd\r\n", 5);
    EXPECT_EQ(out.find("_LOG"), std::string::npos);
    EXPECT_EQ(out.find("SATXYZ2A"), std::string::npos);
    std::string vis = frame("SATVISA", 60, kVis);
    out =
        feed(assembly, vis.substr(0, vis.size() / 2) + ";,#" + frame("BESTPOSA", 60, kBestpos), 11);
    EXPECT_NE(out.find("BESTPOS_LOG\n"), std::string::npos);
    EXPECT_EQ(out.find("SATVIS_LOG"), std::string::npos);
}

TEST_F(AssemblyTest, NoRowsWithoutPositionOrSatellitePositions) {
    feed(assembly, frame("SATXYZ2A", 0, kXyz) + frame("SATVISA", 0, kVis));
    LogAssembly noPositions(30.0, {{}, ""});
    feed(noPositions, frame("BESTPOSA", 0, kBestpos) + frame("SATVISA", 0, kVis));
    EXPECT_TRUE(storedRows().empty());
}

TEST_F(AssemblyTest, RejectedRowIsReportedAndNotRetried) {
    sql::exec("DROP TABLE troposphericDelay");
    LogAssembly noRetry(30.0, {{}, "", 100000, std::chrono::seconds(0)});
    EXPECT_NE(feed(noRetry, minute(60.0)).find("\nQuery Failed\nqueryString : INSERT"),
              std::string::npos);
    EXPECT_EQ(noRetry.keptRows(), 0u);
    sql::resetTables();
    feed(noRetry, minute(120.0));
    EXPECT_EQ(storedRows(), rowsOf({2}));
}

TEST_F(AssemblyTest, KeptRowsGoToTheSpoolAndANewRunStoresThemFirst) {
    TempDir dir("ulmet-asm");
    const std::string spool = dir.file("spool.sql");
    {
        LogAssembly away(30.0, {[](const char*) { return StoreResult::Kept; }, spool});
        feed(away, minute(60.0) + minute(120.0), 50);
    }
    LogAssembly back(30.0, {{}, spool});
    feed(back, minute(180.0));
    EXPECT_EQ(storedRows(), rowsOf({1, 2, 3}));
    EXPECT_EQ(access(spool.c_str(), F_OK), -1);  // the file is gone when empty
}

TEST_F(AssemblyTest, PendingTextIsBounded) {
    for (int i = 0; i < 20; ++i) feed(assembly, std::string(10000, 'x'), 4096);
    EXPECT_EQ(assembly.pendingText().size(), LogAssembly::kPendingLimit);
    feed(assembly, "*" + minute(60.0), 4096);  // the stream recovers at the next "*"
    EXPECT_EQ(storedRows(), rowsOf({1}));
}

}  // namespace
