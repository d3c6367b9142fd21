#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <fstream>
#include <iomanip>
#include <iterator>
#include <map>
#include <regex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "ReceiverValues.h"
#include "TestSupport.h"
#include "acquisition/LogAssembly.h"
#include "gnssFunctions.h"

using namespace testsupport;
using Rows = std::vector<std::string>;

namespace {

// Receiver logs as the receiver frames them, with their checksum. Week 2000
// starts 2018-05-06 00:00:00.
std::string frameAt(const char* name, const std::string& week, const std::string& seconds,
                    const std::string& body) {
    return frameLog(std::string(name) + ",PORT1,0,55.0,FINECLOCK," + week + "," + seconds +
                    ",02000000,b1f6,16248;" + body);
}
std::string frame(const char* name, double seconds, const std::string& body) {
    return frameAt(name, "2000", std::to_string(seconds), body);
}

// `text` with the first `from` replaced by `to` (the checksum left as it was).
std::string replaced(std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
}

const char* kBestpos =
    "SOLVED,SINGLE,45.50000000000,7.25000000000,80.5000,47.9,WGS84,1.5000,1.2500,3.0000,\"\","
    "0.000,0.000,18,17,17,17,00,06,30,33";
// Satellite positions of GLONASS slot 3 (= 40), 12 and 7.
const char* kXyz =
    "3,GPS,3+2,1,2,3,4,5,2.51,0,0,GPS,12,1,2,3,4,5,2.347,0,0,GPS,7,1,2,3,4,5,2.6,0,0";

// Visibility of 40 and 12 high, 7 low; of 40 alone, high.
const char* kVisAll =
    "TRUE,TRUE,3,40,0,0,45,120,-1234.5,0,12,0,0,-62.25,120,-1234.5,0,7,0,0,12,120,-1234.5,0";
const char* kVis = "TRUE,TRUE,1,40,0,0,45,120,-1234.5,0";

// One minute: position, satellite positions and visibility.
std::string minute(double seconds, const std::string& bestposBody = kBestpos) {
    return frame("BESTPOSA", seconds, bestposBody) + frame("SATXYZ2A", seconds, kXyz) +
           frame("SATVISA", seconds, kVisAll);
}

// The two rows that minute(60 * m) stores, for each m in turn.
Rows rowsOf(std::vector<int> minutes) {
    Rows rows;
    for (int m : minutes) {
        std::string time = "2018-05-06 00:0" + std::to_string(m) +
                           ":00|45.500000000000|7.250000000000|80.50000|1.50000|1.25000|3.00000|";
        rows.insert(rows.end(), {time + "40|45.00000|2.51", time + "12|62.25000|2.35"});
    }
    return rows;
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
    feed(assembly, minute(60.0), 1);                // a byte per read
    feed(assembly, minute(120.0) + minute(180.0));  // six logs in one read
    EXPECT_EQ(sql::delayRows(), rowsOf({1, 2, 3}));
}

// A scripted server: its next answers in turn (then "stored"), the rows
// asked, each as "minute/satellite", and their statements.
struct ScriptedServer {
    explicit ScriptedServer(std::deque<StoreOutcome> first = {}) : answers(std::move(first)) {}
    std::deque<StoreOutcome> answers;
    Rows asked, statements;
    RowSink sink() {
        return [this](const char* statement) {
            statements.push_back(statement);
            // "..., prn, elevation, delay, 'date time')": "time/prn".
            static const std::regex shape(".*, (-?\\d+), [^,]+, [^,]+, '\\S+ (\\S+)'\\);?");
            std::cmatch m;
            asked.push_back(std::regex_match(statement, m, shape) ? m.str(2) + "/" + m.str(1)
                                                                  : "?");
            if (answers.empty()) return StoreOutcome::Stored;
            StoreOutcome answer = answers.front();
            answers.pop_front();
            return answer;
        };
    }
};

TEST_F(AssemblyTest, ReplayStopsAtTheFirstKeptRowAndDropsOnlyCondemnedOnes) {
    ScriptedServer server({StoreOutcome::Kept, StoreOutcome::Kept});
    LogAssembly replaying(30.0, {server.sink(), "", 100000, std::chrono::hours(1)});
    feed(replaying, minute(60.0));   // the first row fails: both are kept
    feed(replaying, minute(120.0));  // the replay fails at once: the new rows queue behind
    EXPECT_EQ(server.asked, Rows({"00:01:00/40", "00:01:00/40"}));
    EXPECT_EQ(replaying.keptRows(), 4u);
    // Stored, condemned (dropped), already stored, then a failure of the
    // server's that ends the replay: the rows behind it are not tried.
    server.answers = {StoreOutcome::Stored, StoreOutcome::Rejected, StoreOutcome::AlreadyStored,
                      StoreOutcome::Kept};
    server.asked.clear();
    feed(replaying, minute(180.0));
    EXPECT_EQ(server.asked, Rows({"00:01:00/40", "00:01:00/12", "00:02:00/40", "00:02:00/12"}));
    EXPECT_EQ(replaying.keptRows(), 3u);
    server.asked.clear();
    feed(replaying, minute(240.0));
    EXPECT_EQ(server.asked,
              Rows({"00:02:00/12", "00:03:00/40", "00:03:00/12", "00:04:00/40", "00:04:00/12"}));
    EXPECT_EQ(replaying.keptRows(), 0u);
}

TEST_F(AssemblyTest, PendingTextKeepsItsNewestBytes) {
    std::string stream;
    for (int i = 0; stream.size() < 3 * LogAssembly::kPendingLimit; ++i)
        stream += std::to_string(i) + ",";
    feed(assembly, stream, 4096);
    EXPECT_EQ(assembly.pendingText(), stream.substr(stream.size() - LogAssembly::kPendingLimit));
    feed(assembly, "*" + minute(60.0), 4096);  // the stream recovers at the next "*"
    EXPECT_EQ(sql::delayRows(), rowsOf({1}));
}

// A statement as the daemon builds it, for satellite `prn` of minute `m`.
std::string row(int m, int prn = 12) {
    char time[32];
    std::snprintf(time, sizeof time, "2018-05-06 %02d:%02d:00", m / 60, m % 60);
    return format_troposphericDelayQuery(time, 45.5, -7.25, 80.5, 1.5, 1.25, 3, prn, -62.25, 2.35);
}

struct RowSpoolTest : ::testing::Test {
    TempDir dir{"ulmet-spool"};
    const std::string path = dir.file("spool.sql");
};

// The limit drops the oldest rows, also while an earlier run's file is
// read; whatever the daemon did last (pushed, stored) is in the file when
// the spool goes, without an explicit sync.
TEST_F(RowSpoolTest, LimitDropsTheOldestAndTheLastStateIsWritten) {
    {
        RowSpool spool(path, 3);
        for (int m = 1; m <= 5; ++m) spool.push(row(m));
        spool.sync(false);
        spool.popFront();  // row 3 stored
        spool.push(row(6));
    }
    EXPECT_EQ(fileLines(path), Rows({row(4), row(5), row(6)}));
    {
        // At the limit the file stays bounded while each minute appends.
        RowSpool full(path, 100);
        EXPECT_EQ(full.load(), 3u);
        for (int m = 7; m <= 303; ++m) {
            full.push(row(m));
            full.sync(false);
            ASSERT_LT(fileLines(path).size(), 200u);
        }
    }
    {
        std::ofstream out(path, std::ios::trunc);
        for (int m = 4; m <= 8; ++m) out << row(m) << "\n";
    }
    RowSpool again(path, 3);  // an earlier run's file over the limit
    EXPECT_EQ(again.load(), 3u);
    EXPECT_EQ(fileLines(path), Rows({row(6), row(7), row(8)}));
    EXPECT_EQ(again.front(), row(6));
}

// The head file says how far a run that died got; it is trusted only when
// it names this file and the start of one of its lines.
TEST_F(RowSpoolTest, AHeadIsFollowedOnlyWhenItFitsTheFile) {
    std::ofstream(path) << row(3) << "\n" << row(4) << "\n" << row(5) << "\n";
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    const unsigned long long inode = st.st_ino, line = row(3).size() + 1;
    for (auto [head, loaded] : {std::pair{std::pair{inode + 1, line}, 3u},
                                {{inode, line - 1}, 3u},
                                {{inode, line}, 2u}}) {
        std::ofstream(path + ".head") << std::setfill('0') << std::setw(20) << head.first << " "
                                      << std::setw(20) << head.second << "\n";
        RowSpool again(path, 100);
        EXPECT_EQ(again.load(), loaded) << head.first << " " << head.second;
    }
}

// The file is data: only the daemon's own row statements are loaded; any
// other line, and a last line cut short, is moved unrun to the reject file.
TEST_F(RowSpoolTest, OnlyRowStatementsAreLoadedTheRestIsMovedAside) {
    const std::string good = row(1);
    const Rows foreign = {
        "DROP DATABASE UlmetDB",
        good.substr(0, good.size() - 1) + " DROP TABLE gps;",
        good.substr(0, good.size() - 4) + "' OR '1');",  // a date-time that is not one
        row(2).replace(row(2).find("2.35"), 4, "nan"),
        good + good,
        std::string(600, 'x'),
    };
    {
        std::ofstream out(path);
        out << good << "\n\n";
        for (const std::string& line : foreign) out << line << "\n";
        out << row(3) << "\n" << row(4).substr(0, 60);  // cut short
    }
    RowSpool spool(path, 100);
    EXPECT_EQ(spool.load(), 2u);
    EXPECT_EQ(fileLines(path), Rows({good, row(3)}));
    Rows rejected = foreign;
    rejected.back() = rejected.back().substr(0, 500);
    rejected.push_back(row(4).substr(0, 60));
    EXPECT_EQ(fileLines(spool.rejectPath()), rejected);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    for (int prn : {1, 40, 120, 999}) EXPECT_TRUE(RowSpool::isRowStatement(row(59, prn))) << prn;
    // The shape with a date or values that no receiver gives is not a row.
    for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
             {"2018-05-06 00:59:00", "9999-99-99 99:99:99"},
             {"2018-05-06 00:59:00", "2018-02-30 00:59:00"},
             {"45.500000000000", "90.500000000000"},
             {"-7.250000000000", "-180.250000000000"},
             {"80.50000", "18000.50000"},
             {"1.50000", "-1.50000"},
             {"-62.25000", "-90.25000"},
             {"2.35", "100.01"},
             {", 12, ", ", 0, "},
             {", 12, ", ", 1000, "}})
        EXPECT_FALSE(RowSpool::isRowStatement(replaced(row(59), from, to))) << to;
}

// A spool file that others could have written is refused, before and at
// loading; the temporary file of a rewrite never follows a planted link.
TEST_F(RowSpoolTest, FilesOthersCouldWriteAreRefused) {
    std::ofstream(path) << row(1) << "\n\n";
    RowSpool spool(path, 100);
    for (mode_t mode : {0620, 0602}) {
        chmod(path.c_str(), mode);
        EXPECT_THROW(spool.check(), std::runtime_error) << mode;
    }
    if (geteuid() == 0) {
        chmod(path.c_str(), 0600);
        ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
        EXPECT_THROW(spool.check(), std::runtime_error);
        ASSERT_EQ(chown(path.c_str(), 0, 0), 0);
    }
    const std::string victim = dir.file("victim");
    std::ofstream(victim) << "precious\n";
    chmod(path.c_str(), 0600);
    ASSERT_EQ(symlink(victim.c_str(), (path + ".tmp").c_str()), 0);
    EXPECT_EQ(spool.load(), 1u);  // the blank line makes it rewrite the file
    EXPECT_EQ(readFile(victim), "precious\n");
    EXPECT_EQ(fileLines(path), Rows({row(1)}));
    RowSpool linked(path + ".link", 100);
    ASSERT_EQ(symlink(path.c_str(), (path + ".link").c_str()), 0);
    EXPECT_THROW(linked.load(), std::runtime_error);
}

// What the real server's answers mean for a row: stored, already stored,
// condemned (dropped; a missing table keeps it, above).
TEST_F(AssemblyTest, TheServersAnswerDecidesWhatHappensToARow) {
    const std::string good = row(1), condemned = replaced(row(2), "2.35", "nan");
    auto store = [](const std::string& s) { return LogAssembly::storeInDatabase(s.c_str()); };
    EXPECT_EQ((std::vector<StoreOutcome>{store(good), store(good), store(condemned)}),
              (std::vector<StoreOutcome>{StoreOutcome::Stored, StoreOutcome::AlreadyStored,
                                         StoreOutcome::Rejected}));
}

// Over its budget a replay still stores one row per pass, and the next
// passes go on without waiting for the retry interval.
TEST_F(AssemblyTest, AReplayOverItsBudgetStoresARowPerPassAndGoesOn) {
    ScriptedServer server({StoreOutcome::Kept});
    LogAssembly slow(30.0, {server.sink(), "", 100000, std::chrono::hours(1), {}});
    feed(slow, minute(60.0));
    feed(slow, minute(120.0));
    StdoutCapture quiet;
    for (std::size_t left : {2u, 1u, 0u}) {
        slow.pass("");
        EXPECT_EQ(slow.keptRows(), left);
    }
    EXPECT_EQ(server.asked,
              Rows({"00:01:00/40", "00:01:00/40", "00:01:00/12", "00:02:00/40", "00:02:00/12"}));
}

// Rows come only from checked, readable logs of one time. By minute: an
// unreadable first position (no position of zeros), clean, a latitude read
// only in part (the position is left unchanged), then one digit changed
// after the checksum was made in each log in turn, a checksum cut short,
// positions of another week with the same seconds, and the same seconds
// written otherwise. Reads of 7 bytes split the checksums.
TEST_F(AssemblyTest, OnlyCheckedReadableLogsOfOneTimeMakeRows) {
    const std::string cut = minute(420.0);
    feed(assembly,
         minute(60.0, replaced(kBestpos, "45.50000000000", "x45.5")) + minute(120.0) +
             minute(180.0, replaced(kBestpos, "45.50000000000", "46.5q")) +
             replaced(minute(240.0), "7.25000", "7.35000") +
             replaced(minute(300.0), "2.51", "2.41") + replaced(minute(360.0), "-62.25", "-62.75") +
             cut.substr(0, cut.rfind('*') + 5) + "\r\n" + frameAt("SATXYZ2A", "2001", "480", kXyz) +
             frame("SATVISA", 480, kVis) + frameAt("SATXYZ2A", "2000", "540.0", kXyz) +
             frameAt("SATVISA", "2000", "540", kVis),
         7);
    Rows expected = rowsOf({2, 3, 4});
    expected.push_back(rowsOf({9})[0]);
    EXPECT_EQ(sql::delayRows(), expected);
    EXPECT_EQ(assembly.droppedLogs(), 4u);
}

// A week whose date has a year of eight digits, and an elevation of 1e300
// (300 digits): neither is ever sent nor kept.
TEST_F(AssemblyTest, ImpossibleTimeOrOverlongStatementIsNeitherSentNorKept) {
    ScriptedServer server({StoreOutcome::Kept});
    LogAssembly counting(30.0, {server.sink(), ""});
    feed(counting, frame("BESTPOSA", 0, kBestpos) + frameAt("SATXYZ2A", "2147483647", "0", kXyz) +
                       frameAt("SATVISA", "2147483647", "0", kVis) + frame("SATXYZ2A", 60.0, kXyz) +
                       frame("SATVISA", 60.0, replaced(kVis, ",45,", ",1e300,")));
    EXPECT_EQ(server.asked.size() + counting.keptRows(), 0u);
    EXPECT_EQ(counting.refusedLogs(), 1u);
    feed(counting, minute(120.0));  // sane again: both rows tried, then kept
    EXPECT_EQ(server.asked, Rows{"00:02:00/40"});
    EXPECT_EQ(counting.keptRows(), 2u);
}

// Logs with correct checksums but values no receiver reports: each is
// refused whole and counted, the position stays the last sound one, and
// every row made is one the spool would take back.
TEST_F(AssemblyTest, LogsWithValuesNoReceiverReportsAreRefused) {
    ScriptedServer server;
    LogAssembly a(30.0, {server.sink(), ""});
    const std::string vis = kVisAll;
    // 129 satellite positions; 128, and a visibility log of 129 satellites.
    std::string many = "129", most = "128", manyVis = "TRUE,TRUE,129";
    for (int prn = 1; prn <= 129; ++prn) {
        const std::string entry = ",GPS," + std::to_string(prn) + ",1,2,3,4,5,2.5,0,0";
        many += entry;
        if (prn <= 128) most += entry;
        manyVis += "," + std::to_string(prn) + ",0,0,45,120,-1234.5,0";
    }
    const struct {
        const char* log;
        std::string from, to;
    } cases[] = {
        {"BESTPOSA", "45.50000000000", "1e100"},
        {"BESTPOSA", "45.50000000000", "-90.1"},
        {"BESTPOSA", "7.25000000000", "180.5"},
        {"BESTPOSA", "80.5000", "1e65"},
        {"BESTPOSA", "80.5000", "-1e6"},
        {"BESTPOSA", "1.5000", "-0.5"},
        {"BESTPOSA", "3.0000", "1e300"},
        {"SATVISA", ",45,", ",1e100,"},
        {"SATVISA", ",-62.25,", ",-90.5,"},
        {"SATXYZ2A", "2.51", "1e100"},
        {"SATXYZ2A", "2.51", "-0.01"},
        {"SATVISA", "TRUE,TRUE,3", "TRUE,TRUE,130"},
        {"SATXYZ2A", kXyz, many},
        {"SATVISA", vis, manyVis},
    };
    feed(a, minute(60.0));
    double seconds = 120.0;
    for (const auto& c : cases) {
        auto body = [&](const char* log, const std::string& text) {
            return c.log == std::string(log) ? replaced(text, c.from, c.to) : text;
        };
        std::string logs = frame("BESTPOSA", seconds, body("BESTPOSA", kBestpos)) +
                           frame("SATXYZ2A", seconds, body("SATXYZ2A", kXyz));
        // The visibility log of 129 satellites joins positions of 128.
        if (c.to == manyVis) logs = frame("SATXYZ2A", seconds, most);
        feed(a, logs + frame("SATVISA", seconds, body("SATVISA", vis)));
        seconds += 60.0;
    }
    EXPECT_EQ(a.refusedLogs(), std::size(cases));
    // Position cases store rows of the last sound position; the others none.
    EXPECT_EQ(server.statements.size(), 2u * 8u);
    for (const std::string& statement : server.statements)
        EXPECT_TRUE(RowSpool::isRowStatement(statement)) << statement;
}

// However many visibility logs one minute brings, its rows stay bounded;
// the next minute starts afresh.
TEST_F(AssemblyTest, TheRowsOfAMinuteAreBounded) {
    ScriptedServer server;
    LogAssembly a(30.0, {server.sink(), ""});
    std::string logs;
    for (int i = 0; i < 260; ++i) logs += minute(60.0 + i * 0.1);  // 2 rows each
    logs += minute(120.0);
    feed(a, logs, 4096);
    std::map<std::string, std::size_t> perMinute;  // rows asked by minute
    for (const std::string& row : server.asked) ++perMinute[row.substr(0, 5)];
    EXPECT_EQ(perMinute["00:01"], receiver::kMaxRowsPerMinute);
    EXPECT_EQ(perMinute["00:02"], 2u);
    EXPECT_EQ(a.refusedLogs(), 260u - receiver::kMaxRowsPerMinute / 2);
}

TEST(ReceiverText, ControlCharactersAreEscaped) {
    EXPECT_EQ(receiver::printable("<OK\r\n\x1b[2J\\\x07\xc3\xa9 x\r"),
              "<OK\r\n\\x1b[2J\\\\\\x07\\xc3\\xa9 x\\x0d");
}

}  // namespace
