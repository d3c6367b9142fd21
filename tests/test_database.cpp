#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "Database.h"
#include "TestSupport.h"

using namespace testsupport;

namespace {

class DatabaseTest : public ::testing::Test {
  protected:
    void SetUp() override { sql::resetTables(); }
};

int connect(Database& db) { return db.openConnection("localhost", "UlmetDB", "root", "kzqvwp"); }

// The client library reads MYSQL_UNIX_PORT once, at its first use in a
// process, so the unreachable server is tried in a fresh process.
void unreachableServerChecks() {
    setenv("MYSQL_UNIX_PORT", "/tmp/ulmet-nothing-listens-here.sock", 1);
    Database* db = new Database;
    bool ok = connect(*db) == 202 && Database::isConnectionError(db->errorNumber()) &&
              db->updateQuery("INSERT INTO ipwv (ipwv_value, data) VALUES (1, 'x');") &&
              Database::isConnectionError(db->errorNumber()) && db->query("SELECT 1") == nullptr &&
              db->stringQuery("SELECT 1") == nullptr && db->intQuery("SELECT 1") == -1 &&
              !db->boolQuery("SELECT 1") && db->disconnect();
    delete db;
    std::exit(ok ? 0 : 1);
}

TEST(DatabaseOffline, UnreachableServerFailsCleanly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(unreachableServerChecks(), ::testing::ExitedWithCode(0), "");
}

TEST(DatabaseOffline, NeverConnectedObjectFailsEveryStatement) {
    Database db;
    EXPECT_TRUE(db.updateQuery("SELECT 1"));
    EXPECT_EQ(db.query("SELECT 1"), nullptr);
    EXPECT_FALSE(db.free());
    EXPECT_TRUE(db.disconnect());
    EXPECT_TRUE(db.disconnect());
}

TEST(DatabaseOffline, ErrorTexts) {
    EXPECT_STREQ(dberror(200), "SUCCESS");
    EXPECT_STREQ(dberror(201), "201 connET ERROR: connET FAILURE");
    EXPECT_STREQ(dberror(202), "202 CONNECTION ERROR: CANNOT ACCESS THE SERVER");
    EXPECT_STREQ(dberror(203), "203 DATABASE ERROR: QUERY FAILED");
    EXPECT_EQ(dberror(204), nullptr);
    EXPECT_EQ(dberror(0), nullptr);
}

TEST_F(DatabaseTest, ConnectTwiceAndFreeSemantics) {
    Database db;
    ASSERT_EQ(connect(db), 200);
    ASSERT_EQ(connect(db), 200);  // closes the first connection first
    EXPECT_FALSE(db.free());
    MYSQL_RES* res = db.query("SELECT 1");
    ASSERT_NE(res, nullptr);
    MYSQL_ROW row = mysql_fetch_row(res);
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(row[0], "1");
    EXPECT_TRUE(db.free());
    EXPECT_FALSE(db.free());
    // A statement that returns no rows, and a failing one, give null.
    EXPECT_EQ(db.query("DO 1"), nullptr);
    EXPECT_EQ(db.query("SELECT no_such_column FROM ipwv"), nullptr);
    EXPECT_FALSE(Database::isConnectionError(db.errorNumber()));
    EXPECT_TRUE(db.disconnect());
}

TEST_F(DatabaseTest, UpdateQueryReportsFailureAndKindOfError) {
    Database db;
    ASSERT_EQ(connect(db), 200);
    EXPECT_FALSE(
        db.updateQuery("INSERT INTO ipwv (ipwv_value, data) VALUES (1.5, '2018-05-06 00:00:00');"));
    EXPECT_EQ(db.errorNumber(), 0u);
    EXPECT_TRUE(db.updateQuery("INSERT INTO no_such_table (x) VALUES (1);"));
    EXPECT_NE(db.errorNumber(), 0u);
    EXPECT_FALSE(Database::isConnectionError(db.errorNumber()));
    db.disconnect();
    EXPECT_EQ(sql::scalar("SELECT COUNT(*) FROM ipwv"), "1");
}

TEST_F(DatabaseTest, SingleValueQueries) {
    sql::exec("INSERT INTO ipwv (ipwv_value, data) VALUES (2.5, '2018-05-06 00:00:00')");
    sql::exec("INSERT INTO ipwv (ipwv_value, data) VALUES (NULL, '2018-05-06 00:01:00')");
    Database db;
    ASSERT_EQ(connect(db), 200);

    char* text = db.stringQuery("SELECT data FROM ipwv WHERE ipwv_value = 2.5");
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "2018-05-06 00:00:00");  // outlives the released result set
    std::free(text);
    EXPECT_FALSE(db.free());
    EXPECT_EQ(db.intQuery("SELECT 42"), 42);
    EXPECT_TRUE(db.boolQuery("SELECT data FROM ipwv WHERE ipwv_value = 2.5"));
    EXPECT_TRUE(db.free());  // boolQuery keeps its result set

    // No row.
    EXPECT_EQ(db.stringQuery("SELECT data FROM ipwv WHERE ipwv_value = 99"), nullptr);
    EXPECT_EQ(db.intQuery("SELECT id FROM ipwv WHERE ipwv_value = 99"), -1);
    EXPECT_FALSE(db.boolQuery("SELECT id FROM ipwv WHERE ipwv_value = 99"));
    // A NULL column.
    EXPECT_EQ(db.stringQuery("SELECT ipwv_value FROM ipwv WHERE data = '2018-05-06 00:01:00'"),
              nullptr);
    EXPECT_EQ(db.intQuery("SELECT ipwv_value FROM ipwv WHERE data = '2018-05-06 00:01:00'"), -1);
    EXPECT_FALSE(db.boolQuery("SELECT ipwv_value FROM ipwv WHERE data = '2018-05-06 00:01:00'"));
    // A failing statement.
    EXPECT_EQ(db.intQuery("SELECT nonsense FROM nowhere"), -1);
    EXPECT_EQ(db.stringQuery("SELECT nonsense FROM nowhere"), nullptr);
    EXPECT_FALSE(db.boolQuery("SELECT nonsense FROM nowhere"));
    db.disconnect();
}

// Both look-up shapes of the retrieval program must be served by the
// index on `data`, or a year of rows makes every run scan whole tables.
TEST_F(DatabaseTest, MinuteLookUpsUseTheIndex) {
    for (int i = 0; i < 200; ++i) {
        char stamp[32];
        snprintf(stamp, sizeof(stamp), "2014-03-05 %02d:%02d:00", i / 60, i % 60);
        sql::exec(std::string("INSERT INTO pressure (pressure_value, data) VALUES (1000, '") +
                  stamp + "')");
        sql::exec(std::string("INSERT INTO troposphericDelay (latitude, height, elevation, data) "
                              "VALUES (45, 80, 40, '") +
                  stamp + "')");
    }
    sql::exec("ANALYZE TABLE pressure, troposphericDelay");
    for (const char* table : {"pressure", "temperature", "humidity", "radiance", "raingauge", "gps",
                              "ipwv", "troposphericDelay"}) {
        auto like = sql::rows(std::string("EXPLAIN SELECT * FROM ") + table +
                              " WHERE data LIKE '2014-03-05 01:07%'");
        ASSERT_EQ(like.size(), 1u);
        // Columns: id, select_type, table, type, possible_keys, key, ...
        EXPECT_EQ(like[0][3], "range") << table;
        EXPECT_NE(like[0][5].find("_data"), std::string::npos) << table;
        auto equal = sql::rows(std::string("EXPLAIN SELECT * FROM ") + table +
                               " WHERE data = '2014-03-05 01:07:00'");
        ASSERT_EQ(equal.size(), 1u);
        EXPECT_EQ(equal[0][3], "ref") << table;
        EXPECT_NE(equal[0][5].find("_data"), std::string::npos) << table;
    }
}

}  // namespace
