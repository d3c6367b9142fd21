#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "Database.h"
#include "TestSupport.h"

using namespace testsupport;

namespace {

int connect(Database& db) { return db.openConnection("localhost", "UlmetDB", "root", "kzqvwp"); }

// The client library reads MYSQL_UNIX_PORT once per process: the
// unreachable server is tried in a fresh one.
void unreachableServerChecks() {
    setenv("MYSQL_UNIX_PORT", "/tmp/ulmet-nothing-listens-here.sock", 1);
    Database db;
    bool ok = connect(db) == 202 && Database::isConnectionError(db.errorNumber()) &&
              db.updateQuery("DO 1") && Database::isConnectionError(db.errorNumber()) &&
              db.query("SELECT 1") == nullptr && db.intQuery("SELECT 1") == -1 && db.disconnect();
    std::exit(ok ? 0 : 1);
}

TEST(DatabaseOffline, UnreachableOrNeverConnectedFailsCleanly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(unreachableServerChecks(), ::testing::ExitedWithCode(0), "");
    Database never;
    EXPECT_TRUE(never.updateQuery("SELECT 1"));
    EXPECT_EQ(never.query("SELECT 1"), nullptr);
    EXPECT_TRUE(never.disconnect());
    EXPECT_STREQ(dberror(202), "202 CONNECTION ERROR: CANNOT ACCESS THE SERVER");
    EXPECT_STREQ(dberror(203), "203 DATABASE ERROR: QUERY FAILED");
    EXPECT_EQ(dberror(204), nullptr);
}

class DatabaseTest : public ::testing::Test {
  protected:
    void SetUp() override { sql::resetTables(); }
};

TEST_F(DatabaseTest, StatementsResultSetsAndSingleValues) {
    sql::exec("INSERT INTO ipwv (ipwv_value, data) VALUES (NULL, '2018-05-06 00:01:00')");
    Database db;
    ASSERT_EQ(connect(db), 200);
    ASSERT_EQ(connect(db), 200);  // closes the first connection first
    EXPECT_FALSE(db.updateQuery("INSERT INTO ipwv (ipwv_value, data) VALUES (2.5, 'a');"));
    EXPECT_TRUE(db.updateQuery("INSERT INTO no_such_table (x) VALUES (1);"));
    EXPECT_FALSE(Database::isConnectionError(db.errorNumber()));
    MYSQL_RES* res = db.query("SELECT 7");
    ASSERT_NE(res, nullptr);
    EXPECT_STREQ(mysql_fetch_row(res)[0], "7");
    EXPECT_TRUE(db.free());
    EXPECT_FALSE(db.free());

    char* text = db.stringQuery("SELECT data FROM ipwv WHERE ipwv_value = 2.5");
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "a");  // outlives the released result set
    std::free(text);
    EXPECT_EQ(db.intQuery("SELECT 42"), 42);
    EXPECT_TRUE(db.boolQuery("SELECT 1"));
    EXPECT_TRUE(db.free());  // boolQuery keeps its result set
    for (const char* nothing : {"SELECT id FROM ipwv WHERE ipwv_value = 99",  // no row
                                "SELECT ipwv_value FROM ipwv WHERE data = '2018-05-06 00:01:00'",
                                "SELECT nonsense FROM nowhere"}) {
        SCOPED_TRACE(nothing);
        EXPECT_EQ(db.stringQuery(nothing), nullptr);
        EXPECT_EQ(db.intQuery(nothing), -1);
        EXPECT_FALSE(db.boolQuery(nothing));
    }
    db.disconnect();
}

// Both minute look-ups of the retrieval program must use the index on
// `data`, or a year of rows makes every run scan whole tables.
TEST_F(DatabaseTest, MinuteLookUpsUseTheIndex) {
    for (int i = 0; i < 200; ++i) {
        char stamp[32];
        snprintf(stamp, sizeof(stamp), "2014-03-05 %02d:%02d:00", i / 60, i % 60);
        sql::exec(std::string("INSERT INTO pressure (pressure_value, data) VALUES (1000, '") +
                  stamp + "')");
    }
    sql::exec("ANALYZE TABLE pressure");
    for (const char* table : {"pressure", "temperature", "humidity", "radiance", "raingauge", "gps",
                              "ipwv", "troposphericDelay"}) {
        std::string from = std::string("EXPLAIN SELECT * FROM ") + table;
        auto like = sql::rows(from + " WHERE data LIKE '2014-03-05 01:07%'");
        auto equal = sql::rows(from + " WHERE data = '2014-03-05 01:07:00'");
        // Columns: id, select_type, table, type, possible_keys, key, ...
        EXPECT_EQ(like.at(0)[3] + " " + equal.at(0)[3], "range ref") << table;
        EXPECT_NE(like[0][5].find("_data"), std::string::npos) << table;
        EXPECT_NE(equal[0][5].find("_data"), std::string::npos) << table;
    }
}

}  // namespace
